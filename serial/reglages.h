// The port's name and mode from an optional ini file beside the module,
// for a balance that is not on the build's port or speed.
#pragma once

#include <cstddef>

// The ini file of a module: the same folder and name, extension ".ini".
// False if the path does not fit.
bool cheminini(const char* module, char* ini, std::size_t taille);

// Reads [port] name= and mode= from `ini` into `nomport` and `modeport`; a
// key that is absent or empty keeps the value they hold. A name is opened
// as \\.\NAME, which COM10 and above need. True if a key was found.
bool litreglages(const char* ini);
