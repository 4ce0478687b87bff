// The serial link: one port, opened once, read one byte at a time.
#pragma once

#include <cstdint>

// Settings; the start block overwrites the first two before `ouvrecom`.
extern const char* nomport;   // device name for CreateFileA
extern const char* modeport;  // line mode in BuildCommDCBA's syntax
extern std::uint16_t delai;   // ms: port time-outs and the single-byte wait

// What `litoctet` yields when its wait ends without a byte.
constexpr int pasdoctet = -1;

void ouvrecom();
void fermecom();
std::uint16_t nbattente();
int litoctet();

// True while the port is open and the latest status query succeeded.
bool portpret();
// True once per receive error reported since the last call.
bool prendrupture();
// True if the byte `litoctet` last delivered was already waiting when a
// status query reported a receive error: it may belong to a garbled line.
bool octetdouteux();
