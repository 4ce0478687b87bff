// A fake of the kernel32 calls the serial unit makes: a scripted device
// whose handles die when it is unplugged, a tick counter that moves one
// step per read, and a log of every call. Safe to call from several threads.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace fakekernel32 {

struct Etat {
    bool peripherique = true;        // the device is plugged in
    bool occupe = false;             // another program holds it
    std::uint32_t erreurs = 0;       // reported, then cleared, by the next query
    std::deque<std::uint8_t> file;   // bytes the driver holds
    std::uint32_t surplus = 0;       // counted in cbInQue, never delivered
    std::uint32_t ticks = 0;         // GetTickCount's value
    std::uint32_t pas = 1;           // its advance per call
    std::map<std::string, int> echecs;  // function -> calls still to fail
    std::uint32_t dernierreur = 0;   // GetLastError
    // Ini files: path -> "section/key" -> value, as GetPrivateProfileStringA
    // returns it (already trimmed).
    std::map<std::string, std::map<std::string, std::string>> ini;
    bool journalise = true;
    std::vector<std::string> journal;
};

// Locks the fake for a test that changes or reads its state while other
// threads call it.
std::unique_lock<std::mutex> verrou();
Etat& etat();
void reinitialise();
// Bytes arriving from the balance; lost while no handle is open.
void recoit(const std::string& octets);
// The adapter is pulled out: the open handle dies for good.
void debranche();
void rebranche();

}  // namespace fakekernel32
