// The reference the fuzzer holds the reading unit to, written from the
// rules rather than from the code: which lines arrived, which of them a
// fault spoiled, and what each converts to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernel32_script.h"

// The decimal rule, through strtod: optional '-', digits, optional '.',
// digits, nothing else; "." and "-." are zeros.
bool convertitref(const std::string& gardes, double& valeur);
// The characters the decoder keeps, then the rule above.
bool decoderef(const std::string& ligne, double& valeur);

class Modele final : public script::Temoin {
public:
    enum class Sort {
        decodee,     // must count
        perdue,      // must not count: a fault spoiled it
        incertaine,  // the rules leave open whether a fault reached it
    };
    struct Ligne {
        std::string texte;  // the stored characters, at most 20
        Sort sort;
    };

    void requete(bool reussie, std::uint32_t erreurs, std::uint32_t attente,
                 std::uint32_t fantomes) override;
    void livre(std::uint8_t octet) override;

    // Lines whose line feed was delivered since the last call.
    std::vector<Ligne> prendlignes();
    // True when no fault touches the line being collected: it is then
    // `encours()` exactly.
    bool lignesaine() const;
    const std::string& encours() const { return texte_; }

private:
    // One reach of spoiled bytes: the next `octets` delivered, then up to
    // and including the first line feed after them.
    struct Portee {
        std::uint64_t octets = 0;
        bool jusqualf = false;
        bool ligne = false;  // the line being collected is inside it
        bool touche(std::uint8_t octet);
        bool active() const { return octets > 0 || jusqualf || ligne; }
    };

    Portee certaine_;
    Portee possible_;        // wider: what an inflated count or an outage leaves open
    std::string texte_;
    std::vector<Ligne> lignes_;
};
