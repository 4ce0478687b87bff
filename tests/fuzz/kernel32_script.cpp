#include "kernel32_script.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "serial/kernel32_api.h"

namespace script {

namespace {

struct Planifiee {
    std::uint32_t appel;
    Action action;
};

Temoin* temoin;
std::deque<std::uint8_t> file;
std::uint32_t fantomes;
std::uint32_t erreurs;
bool branche;
std::uint32_t ticks;
int poignee;
bool ouvert;
std::vector<Planifiee> planning;
std::size_t prochaine;
bool envidange;
std::uint32_t appels;
std::uint32_t nonlus;

// Far above what any input of the fuzzer's length needs: past it, the drain
// is taken to spin.
constexpr std::uint32_t appelsmax = 100000;

void appel()
{
    if (!envidange)
        return;
    if (++appels > appelsmax) {
        std::fprintf(stderr, "lecture() still draining after %u kernel32 calls\n", appelsmax);
        std::abort();
    }
    while (prochaine < planning.size() && planning[prochaine].appel <= appels)
        applique(planning[prochaine++].action);
}

bool valide(HANDLE h)
{
    return ouvert && h == &poignee;
}

}  // namespace

void reinitialise(Temoin& t)
{
    temoin = &t;
    file.clear();
    fantomes = erreurs = 0;
    branche = true;
    ticks = 0;
    ouvert = false;
    planning.clear();
    prochaine = 0;
    envidange = false;
    appels = nonlus = 0;
}

void applique(const Action& a)
{
    switch (a.type) {
    case Type::octet:
        file.push_back(static_cast<std::uint8_t>(a.valeur));
        break;
    case Type::erreur:
        erreurs |= a.valeur;
        break;
    case Type::debranche:
        branche = false;
        break;
    case Type::rebranche:
        branche = true;
        break;
    case Type::fantomes:
        fantomes = a.valeur;
        break;
    case Type::horloge:
        ticks = a.valeur;
        break;
    }
}

void planifie(std::uint32_t appel, const Action& action)
{
    planning.push_back({appel, action});
}

void debutvidange()
{
    envidange = true;
    appels = 0;
}

void finvidange()
{
    envidange = false;
    while (prochaine < planning.size())
        applique(planning[prochaine++].action);
    planning.clear();
    prochaine = 0;
}

std::uint32_t vusnonlus()
{
    return nonlus;
}

}  // namespace script

using namespace script;

HANDLE CreateFileA(LPCSTR, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE)
{
    if (ouvert)
        return INVALID_HANDLE_VALUE;
    ouvert = true;
    return &poignee;
}

BOOL CloseHandle(HANDLE h)
{
    if (!valide(h))
        return FALSE;
    ouvert = false;
    return TRUE;
}

BOOL SetupComm(HANDLE h, DWORD, DWORD)
{
    return valide(h);
}

BOOL GetCommState(HANDLE h, DCB*)
{
    return valide(h);
}

BOOL BuildCommDCBA(LPCSTR, DCB*)
{
    return TRUE;
}

BOOL SetCommState(HANDLE h, DCB*)
{
    return valide(h);
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS*)
{
    return valide(h);
}

BOOL ClearCommError(HANDLE h, DWORD* e, COMSTAT* statut)
{
    appel();
    if (!valide(h))
        return FALSE;
    const auto attente = static_cast<std::uint32_t>(file.size());
    if (!branche) {
        nonlus = 0;
        temoin->requete(false, 0, attente, fantomes);
        return FALSE;
    }
    *e = erreurs;
    erreurs = 0;
    std::memset(statut, 0, sizeof *statut);
    statut->cbInQue = attente + fantomes;
    nonlus = attente;
    temoin->requete(true, *e, attente, fantomes);
    return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID tampon, DWORD alire, DWORD* lus, OVERLAPPED*)
{
    appel();
    *lus = 0;
    if (!valide(h))
        return FALSE;
    auto* octets = static_cast<BYTE*>(tampon);
    while (*lus < alire && !file.empty()) {
        const std::uint8_t o = file.front();
        file.pop_front();
        octets[(*lus)++] = o;
        if (nonlus > 0)
            --nonlus;
        temoin->livre(o);
    }
    return TRUE;
}

DWORD GetTickCount()
{
    appel();
    return ticks++;
}
