// Console output for the check tool, without a C runtime: text, numbers,
// masses and a line from the balance shown byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

void ouvresortie();
void ecrit(const char* texte);
void ecrit(const char* texte, std::size_t longueur);
void ecritentier(std::uint32_t n);
// Grams with as many decimals as they need (at most nine).
void ecritgrammes(double g);
// Seconds and milliseconds from a millisecond count: "12.345".
void ecritsecondes(std::uint32_t ms);
// Printable bytes as they are, the others as \xNN.
void ecritligne(const char* texte, std::size_t longueur);
void finligne();
// The system's words for an error code, without its final line end.
void ecriterreur(std::uint32_t code);
