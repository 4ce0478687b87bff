// What one line from the balance says: a mass in grams, a reading that is
// not a mass in grams, no mass at all, or something else.
#pragma once

#include <cstddef>
#include <cstdint>

enum class genre : std::uint8_t {
    pesee,       // a weight line in grams (or kg, mg): `nombre` holds its value
    autreunite,  // a weight line in lb, pcs, %...: not a mass in grams
    sansmasse,   // overload, underload or an error: nothing on the pan to tell
    bruit,       // no figure at all: does not convert
    autre,       // figures, but not a weight line (a date, a counter, a total...)
};

enum class raison : std::uint8_t { aucune, surcharge, souscharge, erreur };

// Longest line taken whole; a longer one is not a weight line.
constexpr std::size_t lignemax = 64;

struct analyse {
    genre sorte;
    raison pourquoi;           // for `sansmasse`
    // For `pesee`: the number as the decimal rule reads it ("-", digits,
    // "."), the unit's scale appended as an exponent ("e3" for kg), so
    // that the conversion rounds once. Not zero-terminated.
    char nombre[lignemax + 4];
    std::uint8_t longueurnombre;
    const char* unite;         // into the line; for `pesee` and `autreunite`
    std::uint8_t longueurunite;
};

// `texte` holds the line's characters without its line end.
void analyseligne(const char* texte, std::size_t longueur, analyse& a);

// Lines this short are fragments: they count only to say there is no mass
// ("ERR 4", "E  4", "OL").
constexpr std::size_t lignecourte = 5;

inline bool compte(const analyse& a, std::size_t longueur)
{
    return longueur > lignecourte || a.sorte == genre::sansmasse;
}
