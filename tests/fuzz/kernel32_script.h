// A kernel32 for the fuzzer: a serial device with a life of its own (the
// driver's queue and status, an adapter that is unplugged and plugged back,
// handles that die with it, a clock), following a script. Every arrival of
// a byte in the DLL's hands, status query, loss and open is reported as it
// happens to a witness (the reference model); what the serial unit must do
// with the device (one read per query of the right size, a lost handle
// closed at once, opens a second apart and none missed, a drain that ends
// only where it may) is checked here and kept as a complaint.
#pragma once

#include <cstdint>
#include <string>

#include "serial/ucommw32.h"

namespace script {

enum class Type : std::uint8_t {
    octet,        // one byte arrives; lost unless a live handle is open
    erreur,       // flags reported by the next status query
    debranche,    // the adapter is pulled out: the open handle dies, the queue is lost
    rebranche,
    accroc,       // the next status query fails, the device itself unharmed
    echeclecture, // the next read fails
    refus,        // the next open fails at configuration step `valeur` (0 to 3)
    occupe,       // another program takes the port (1) or lets it go (0)
    fantomes,     // bytes counted in the waiting count that no read delivers
    avance,       // the clock moves on `valeur` ms
    horloge,      // the clock reads `valeur`
};

struct Action {
    Type type;
    std::uint32_t valeur;
};

class Temoin {
public:
    // A status query answered: `attente` real bytes queued, `fantomes` more
    // counted.
    virtual void requete(std::uint32_t erreurs, std::uint32_t attente, std::uint32_t fantomes) = 0;
    // The port was lost (a query or read failed), or a drain began with it
    // closed.
    virtual void panne() = 0;
    // A new handle: its queue starts empty.
    virtual void ouverture() = 0;
    virtual void livre(std::uint8_t octet) = 0;

protected:
    ~Temoin() = default;
};

void reinitialise(Temoin& temoin);
// Clock actions take effect at once even when planned: the clock stands
// still during a drain, so that the reopen rules have one reading.
void applique(const Action& action);
// Held back until the `appel`-th kernel32 call of the next drain; calls are
// counted in order, `appel` must not decrease.
void planifie(std::uint32_t appel, const Action& action);
void debutvidange();
// Holds the drain's end to the rules, then applies what the drain ended
// before reaching.
void finvidange();

// The first broken rule since the last call, or empty; with the kernel32
// calls of the drain it happened in.
std::string plainte();
std::string journal();

// How the latest open attempt ended, as the serial unit must report it.
struct Issue {
    bool tentee;
    etape e;
    std::uint32_t code;
};
Issue derniereouverture();

}  // namespace script
