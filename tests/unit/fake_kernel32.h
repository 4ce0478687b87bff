// A fake of the kernel32 calls the serial unit makes: a scripted port, a
// tick counter that moves one step per read, and a log of every call.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace fakekernel32 {

struct Etat {
    bool peripherique = true;        // CreateFileA finds the device
    bool requeteok = true;           // ClearCommError succeeds
    std::uint32_t erreurs = 0;       // reported, then cleared, by the next query
    std::deque<std::uint8_t> file;   // bytes the driver holds
    std::uint32_t surplus = 0;       // counted in cbInQue, never delivered
    std::uint32_t ticks = 0;         // GetTickCount's value
    std::uint32_t pas = 1;           // its advance per call
    bool journalise = true;
    std::vector<std::string> journal;
};

Etat& etat();
void reinitialise();
void recoit(const std::string& octets);

}  // namespace fakekernel32
