// A queue-backed stand-in for the serial unit, for the reading tests.
#pragma once

#include <cstdint>
#include <string_view>

namespace fakeserial {

void reinitialise();
// Bytes arriving from the balance.
void recoit(std::string_view octets);
// The next status query reports a receive error: every byte queued then is
// suspect.
void erreurreception();
// Status queries fail (adapter unplugged) until called with false.
void debranche(bool debranche);
// The driver counts `n` bytes that no read will deliver.
void fantomes(std::uint16_t n);
int requetes();

}  // namespace fakeserial
