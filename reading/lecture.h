// Collects the balance's lines from the serial link and keeps the reading.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t tailleligne = 20;

// Why the mass channels have no mass to give.
enum class absence : std::uint8_t {
    aucune,  // `mesure` is the reading
    port,    // the port is closed or was lost, and no line has come since
};

// Module state, kept for the life of the library. Changed only by the
// thread that holds the drain.
extern char ligne[tailleligne];     // printable bytes of the line being collected
extern std::uint8_t longueurligne;
extern bool resynchro;              // skipping to the end of a spoiled line
extern double mesure;               // current reading, grams
extern double memomesure;           // last reading that converted
extern absence sansmasse;

// Drains the port (opening it again if it was lost); each complete line of
// 6 or more characters becomes the reading. Returns at once when nothing is
// waiting, or when another thread is draining.
void lecture();

// The reading as the mass channels give it, safe to call from any thread:
// false while there is no mass to give.
bool masse(double& grammes);

// Keeps "-", "." and digits of `texte` and converts them into `mesure`;
// a text that does not convert leaves the last good reading.
void decode(const char* texte, std::size_t longueur);

// Decimal text to the nearest double whatever the x87 control word holds.
// False unless the whole text is one number.
bool convertit(const char* texte, std::size_t longueur, double& valeur);

// Back to the state at load; for tests.
void reinitialiselecture();
