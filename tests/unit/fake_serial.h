// A queue-backed stand-in for the serial unit, for the reading tests: it
// keeps the unit's promises (a block is wholly suspect or wholly clean, a
// lost port is closed) without kernel32 underneath.
#pragma once

#include <cstdint>
#include <string_view>

namespace fakeserial {

// An open port with nothing waiting.
void reinitialise();
// Bytes arriving from the balance; lost while the port is closed.
void recoit(std::string_view octets);
// The next status query reports a receive error: every byte queued then is
// suspect.
void erreurreception();
// The adapter is pulled out (the next query loses the port, and it cannot
// be opened again) or plugged back in.
void debranche(bool debranche);
// The driver counts `n` bytes that no read will deliver.
void fantomes(std::uint32_t n);
// At most `n` bytes per block.
void taillebloc(std::uint32_t n);
int requetes();
int ouvertures();

}  // namespace fakeserial
