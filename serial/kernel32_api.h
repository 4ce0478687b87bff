// The kernel32 calls the serial unit makes. On Windows they are the real
// ones; in native builds they are declared here with the same types and
// names, and a test layer supplies them.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "serial/kernel32_native.h"
#endif
