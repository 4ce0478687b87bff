// A kernel32 for the fuzzer: the driver's queue, status and clock follow a
// script, and every arrival, status query and delivered byte is reported to
// a witness (the reference model) as it happens.
#pragma once

#include <cstdint>

namespace script {

enum class Type : std::uint8_t {
    octet,      // one byte arrives in the driver's queue
    erreur,     // flags reported by the next successful status query
    debranche,  // status queries fail from now on
    rebranche,
    fantomes,   // bytes counted in the waiting count that no read delivers
    horloge,    // sets GetTickCount's value
};

struct Action {
    Type type;
    std::uint32_t valeur;
};

class Temoin {
public:
    // `attente`: real bytes queued at that moment; `fantomes`: the surplus.
    virtual void requete(bool reussie, std::uint32_t erreurs, std::uint32_t attente,
                         std::uint32_t fantomes) = 0;
    virtual void livre(std::uint8_t octet) = 0;

protected:
    ~Temoin() = default;
};

void reinitialise(Temoin& temoin);
void applique(const Action& action);
// Held back until the `appel`-th kernel32 call of the next drain; calls
// are counted in order, `appel` must not decrease.
void planifie(std::uint32_t appel, const Action& action);
void debutvidange();
// Applies what the drain ended before reaching.
void finvidange();

// Bytes that were queued at the latest successful status query and are
// still unread; 0 when that query failed.
std::uint32_t vusnonlus();

}  // namespace script
