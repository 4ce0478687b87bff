#include "kernel32_script.h"

#include <algorithm>
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

// The serial unit's latest input or output call, for the rules on what may
// follow it.
enum class Es : std::uint8_t { aucune, requetevide, requete, lecturepleine, lecturecourte, echec };

struct Trace {
    const char* nom;
    std::uint32_t a;
    std::uint32_t b;
};

constexpr DWORD reception = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME;
constexpr DWORD introuvable = 2, refuse = 5, defaillant = 31;  // GetLastError codes

Temoin* temoin;

// The device and its driver.
std::deque<std::uint8_t> file;
std::uint32_t fantomes;
std::uint32_t erreurs;
bool branche;
bool occupe;
bool accroc;
bool echeclecture;
int refus;  // configuration step that fails at the next open, or -1
std::uint32_t ticks;
DWORD dernierreur;

// Handles: each open hands out the next address, so that an old handle
// never names the new port.
char poignees[64];
std::uint32_t nouvertures;
bool ouverte;  // the newest handle is open
bool morte;    // it died with an unplug

// What the serial unit has done, held to the rules.
bool afermer;  // a call on the open handle failed: it must be closed next
bool tentee;
std::uint32_t dernieressai;
Issue issue;
Es derniere;
std::uint32_t cbinque;  // at the latest answered query
std::uint32_t douteux;  // counted bytes still to come from a query that reported a receive error
std::uint32_t nonlus;   // real bytes queued at that query and not yet read

// The drain under way.
bool envidange;
std::uint32_t appels;
std::vector<Planifiee> planning;
std::size_t prochaine;
bool doitouvrir;
bool aessaye;
std::string reproche_;
std::vector<Trace> traces;

// Far above what any input of the fuzzer's length needs: past it, the drain
// is taken to spin.
constexpr std::uint32_t appelsmax = 100000;

void reproche(const char* quoi)
{
    if (reproche_.empty())
        reproche_ = quoi;
}

void appel(const char* nom, std::uint32_t a = 0, std::uint32_t b = 0)
{
    traces.push_back({nom, a, b});
    if (afermer && std::strcmp(nom, "CloseHandle") != 0)
        reproche("a lost handle was not closed at once");
    if (!envidange)
        return;
    if (++appels > appelsmax) {
        std::fprintf(stderr, "lecture() still draining after %u kernel32 calls\n", appelsmax);
        std::abort();
    }
    while (prochaine < planning.size() && planning[prochaine].appel <= appels)
        applique(planning[prochaine++].action);
}

HANDLE poignee()
{
    return &poignees[(nouvertures - 1) % sizeof poignees];
}

bool valide(HANDLE h, const char* sinon)
{
    if (ouverte && h == poignee())
        return true;
    reproche(sinon);
    return false;
}

void perd()
{
    derniere = Es::echec;
    nonlus = 0;
    afermer = true;
    dernierreur = defaillant;
    temoin->panne();
}

// A configuration step of the open.
BOOL configuration(HANDLE h, int numero, etape e)
{
    if (!valide(h, "an open step on a handle that is not open"))
        return FALSE;
    if (morte || refus == numero) {
        refus = -1;
        dernierreur = defaillant;
        issue = {true, e, defaillant};
        return FALSE;
    }
    return TRUE;
}

}  // namespace

void reinitialise(Temoin& t)
{
    temoin = &t;
    file.clear();
    fantomes = erreurs = 0;
    branche = true;
    occupe = accroc = echeclecture = false;
    refus = -1;
    ticks = 0;
    dernierreur = 0;
    ouverte = morte = afermer = tentee = false;
    dernieressai = 0;
    issue = {false, etape::aucune, 0};
    derniere = Es::aucune;
    cbinque = douteux = nonlus = 0;
    envidange = false;
    appels = 0;
    planning.clear();
    prochaine = 0;
    reproche_.clear();
    traces.clear();
}

void applique(const Action& a)
{
    switch (a.type) {
    case Type::octet:
        if (branche && ouverte && !morte)
            file.push_back(static_cast<std::uint8_t>(a.valeur));
        break;
    case Type::erreur:
        erreurs |= a.valeur;
        break;
    case Type::debranche:
        branche = false;
        morte = morte || ouverte;
        file.clear();
        nonlus = 0;
        break;
    case Type::rebranche:
        branche = true;
        break;
    case Type::accroc:
        accroc = true;
        break;
    case Type::echeclecture:
        echeclecture = true;
        break;
    case Type::refus:
        refus = static_cast<int>(a.valeur & 3);
        break;
    case Type::occupe:
        occupe = a.valeur != 0;
        break;
    case Type::fantomes:
        fantomes = a.valeur;
        break;
    case Type::avance:
        ticks += a.valeur;
        break;
    case Type::horloge:
        ticks = a.valeur;
        break;
    }
}

void planifie(std::uint32_t appel, const Action& action)
{
    if (action.type == Type::avance || action.type == Type::horloge)
        applique(action);
    else
        planning.push_back({appel, action});
}

void debutvidange()
{
    envidange = true;
    appels = 0;
    traces.clear();
    derniere = Es::aucune;
    aessaye = false;
    doitouvrir = !ouverte && (!tentee || ticks - dernieressai >= intervalleouverture);
    if (!ouverte)
        temoin->panne();
}

void finvidange()
{
    if (afermer)
        reproche("a lost handle was left open");
    if (nonlus > 0 && derniere != Es::lecturecourte && derniere != Es::echec)
        reproche("the drain stopped with bytes it was told of unread");
    if (ouverte && derniere != Es::requetevide && derniere != Es::lecturecourte)
        reproche("the drain ended with the port open, neither on an empty query nor on a short read");
    if (doitouvrir && !aessaye)
        reproche("the port stayed closed though a second had passed since the last open attempt");
    envidange = false;
    while (prochaine < planning.size())
        applique(planning[prochaine++].action);
    planning.clear();
    prochaine = 0;
}

std::string plainte()
{
    std::string p;
    p.swap(reproche_);
    return p;
}

std::string journal()
{
    std::string j;
    for (const auto& t : traces) {
        char l[96];
        std::snprintf(l, sizeof l, "  %s(%u, %u)\n", t.nom, t.a, t.b);
        j += l;
    }
    return j;
}

Issue derniereouverture()
{
    return issue;
}

}  // namespace script

using namespace script;

HANDLE CreateFileA(LPCSTR, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE)
{
    appel("CreateFileA", ticks);
    if (tentee && ticks - dernieressai < intervalleouverture)
        reproche("open attempt less than a second after the previous one");
    tentee = aessaye = true;
    dernieressai = ticks;
    if (ouverte)
        reproche("CreateFileA while the DLL still holds its handle");
    if (ouverte || occupe || !branche) {
        dernierreur = branche ? refuse : introuvable;
        issue = {true, etape::creation, dernierreur};
        return INVALID_HANDLE_VALUE;
    }
    ++nouvertures;
    ouverte = true;
    morte = false;
    file.clear();
    erreurs = fantomes = 0;
    douteux = nonlus = 0;
    derniere = Es::aucune;
    issue = {true, etape::aucune, 0};
    temoin->ouverture();
    return poignee();
}

BOOL CloseHandle(HANDLE h)
{
    appel("CloseHandle");
    if (!valide(h, "CloseHandle on a handle that is not open"))
        return FALSE;
    ouverte = afermer = false;
    return TRUE;
}

BOOL SetupComm(HANDLE h, DWORD, DWORD)
{
    appel("SetupComm");
    return configuration(h, 0, etape::files);
}

BOOL GetCommState(HANDLE h, DCB*)
{
    appel("GetCommState");
    return configuration(h, 1, etape::lecture);
}

BOOL BuildCommDCBA(LPCSTR, DCB*)
{
    appel("BuildCommDCBA");
    return TRUE;
}

BOOL SetCommState(HANDLE h, DCB*)
{
    appel("SetCommState");
    return configuration(h, 2, etape::reglage);
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS*)
{
    appel("SetCommTimeouts");
    return configuration(h, 3, etape::delais);
}

BOOL ClearCommError(HANDLE h, DWORD* e, COMSTAT* statut)
{
    appel("ClearCommError", static_cast<std::uint32_t>(file.size()), fantomes);
    if (!valide(h, "status query on a handle that is not open"))
        return FALSE;
    if (derniere == Es::requetevide || derniere == Es::lecturecourte)
        reproche("the drain went on after an empty query or a short read");
    if (morte || accroc) {
        accroc = false;
        perd();
        return FALSE;
    }
    *e = erreurs;
    erreurs = 0;
    std::memset(statut, 0, sizeof *statut);
    const auto attente = static_cast<std::uint32_t>(file.size());
    statut->cbInQue = attente + fantomes;
    cbinque = statut->cbInQue;
    if (*e & reception)
        douteux = cbinque;
    nonlus = attente;
    derniere = cbinque == 0 ? Es::requetevide : Es::requete;
    temoin->requete(*e, attente, fantomes);
    return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID tampon, DWORD alire, DWORD* lus, OVERLAPPED*)
{
    appel("ReadFile", alire);
    *lus = 0;
    if (!valide(h, "ReadFile on a handle that is not open"))
        return FALSE;
    if (derniere != Es::requete) {
        reproche("ReadFile without a status query that reported bytes just before it");
    } else {
        // What the query reported, within the buffer and the suspect bytes.
        std::uint32_t attendu = std::min<std::uint32_t>(cbinque, tailletampon);
        if (douteux > 0)
            attendu = std::min(attendu, douteux);
        if (alire != attendu)
            reproche("ReadFile asks for another count than min(waiting, 256, suspect bytes left)");
    }
    if (morte || echeclecture) {
        echeclecture = false;
        perd();
        return FALSE;
    }
    auto* octets = static_cast<BYTE*>(tampon);
    while (*lus < alire && !file.empty()) {
        const std::uint8_t o = file.front();
        file.pop_front();
        octets[(*lus)++] = o;
        temoin->livre(o);
    }
    douteux -= std::min<std::uint32_t>(*lus, douteux);
    nonlus -= std::min<std::uint32_t>(*lus, nonlus);
    derniere = *lus < alire ? Es::lecturecourte : Es::lecturepleine;
    return TRUE;
}

DWORD GetTickCount()
{
    appel("GetTickCount", ticks);
    return ticks;
}

DWORD GetLastError()
{
    appel("GetLastError", dernierreur);
    return dernierreur;
}
