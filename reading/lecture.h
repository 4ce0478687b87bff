// Collects the balance's lines from the serial link and keeps the reading.
#pragma once

#include <cstddef>
#include <cstdint>

#include "reading/pesee.h"

constexpr std::size_t tailleligne = lignemax;

// Why the mass channels have no mass to give.
enum class absence : std::uint8_t {
    aucune,  // `mesure` is the reading
    port,    // the port is closed or was lost, and no line has come since
    balance, // the balance said overload, underload or error
    unite,   // the balance shows lb, pieces, percent...: not grams
};

// Module state, kept for the life of the library. Changed only by the
// thread that holds the drain.
extern char ligne[tailleligne];     // printable bytes of the line being collected
extern std::uint8_t longueurligne;
extern bool debordee;               // the line in progress outgrew the buffer
extern bool resynchro;              // skipping to the end of a spoiled line
extern double mesure;               // current reading, grams
extern double memomesure;           // last reading that converted
extern absence sansmasse;

// Drains the port (opening it again if it was lost); the newest line that
// says something of the mass decides the reading. Returns at once when
// nothing is waiting, or when another thread is draining.
void lecture();

// The reading as the mass channels give it, safe to call from any thread:
// false while there is no mass to give.
bool masse(double& grammes);

// Decimal text to the nearest double whatever the x87 control word holds.
// False unless the whole text is one number.
bool convertit(const char* texte, std::size_t longueur, double& valeur);

// Back to the state at load (the first line is yet to be skipped); for tests.
void reinitialiselecture();
