// The reference the fuzzer holds the reading unit to, written from the
// rules rather than from the code: which lines arrived and which of them a
// fault spoiled (`Modele`), what each line says (`classe`, a grammar in
// regular expressions), and what the mass channels show after a sequence
// of lines and outages (`suit`, the forward rule).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kernel32_script.h"

// Longest line taken whole; a longer one is not a weight line.
constexpr std::size_t lignelimite = 64;

enum class Sorte : std::uint8_t {
    pesee,       // a weight line in grams, kg or mg
    autreunite,  // a weight line in another unit
    sansmasse,   // overload, underload or error
    bruit,       // no digit at all
    autre,       // anything else
};

struct Classement {
    Sorte sorte;
    double grammes;  // for `pesee`
};

// `texte`: a line's characters (bytes 14 and up), or its first
// `lignelimite` + 1 of `longueur`.
Classement classe(const std::string& texte, std::size_t longueur);

// What the mass channels show, and what decides what they show next.
struct Lecture {
    double mesure = 0.0;
    double memo = -777.0;    // the last good reading
    bool sansmasse = false;  // -777
    bool operator==(const Lecture& l) const;
};

// One complete line's effect, short lines included.
Lecture suit(const Lecture& avant, const std::string& texte, std::size_t longueur);
// An outage: -777 until a weight line in grams.
Lecture panne(const Lecture& avant);

class Modele final : public script::Temoin {
public:
    enum class Sort {
        decodee,     // must count
        perdue,      // must not count: a fault spoiled it
        incertaine,  // the rules leave open whether a fault reached it
    };
    struct Evenement {
        bool panne;          // else a line
        std::string texte;   // the line's characters, at most `lignelimite` + 1
        std::size_t longueur;
        Sort sort;
    };

    // The port opened at load, wherever the balance was in its output: the
    // bytes up to the first line feed may be the end of a line.
    void charge();
    void requete(std::uint32_t erreurs, std::uint32_t attente, std::uint32_t fantomes) override;
    void panne() override;
    void ouverture() override;
    void livre(std::uint8_t octet) override;

    // Outages, and lines whose line feed came, since the last call.
    std::vector<Evenement> prendevenements();
    // True when no fault touches the line being collected: it is then
    // `encours()` exactly.
    bool lignesaine() const;
    const std::string& encours() const { return texte_; }
    std::size_t longueurencours() const { return longueur_; }

private:
    // One reach of spoiled bytes: the next `octets` delivered, then up to
    // and including the first line feed after them.
    struct Portee {
        std::uint64_t octets = 0;
        bool jusqualf = false;
        bool ligne = false;  // the line being collected is inside it
        bool touche(std::uint8_t octet);
        bool active() const { return octets > 0 || jusqualf || ligne; }
        void coupe() { ligne = jusqualf = true; }
    };

    Portee certaine_;
    Portee possible_;  // wider: what an inflated count leaves open
    std::string texte_;
    std::size_t longueur_ = 0;
    std::vector<Evenement> evenements_;
};
