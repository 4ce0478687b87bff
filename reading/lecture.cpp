#include "reading/lecture.h"

#include <atomic>
#include <cstring>

#include "reading/pesee.h"
#include "serial/ucommw32.h"

char ligne[tailleligne];
std::uint8_t longueurligne;
bool debordee;
// The port opens at load wherever the balance is in its output: the first
// bytes may be the end of a line, as after a reopen.
bool resynchro = true;
double mesure = 0.0;
double memomesure = -777.0;
absence sansmasse;

namespace {

using octet = std::uint8_t;

constexpr octet finligne = 10;
constexpr octet dernierecommande = 13;

// The number of the newest weight line in grams of this drain, converted
// when the drain ends: converting costs far more than reading a line.
char candidat[sizeof analyse::nombre];
std::uint8_t longueurcandidat;

// Taken by the thread that drains; another finds it held and answers the
// reading as it stands rather than wait or splice its bytes into the line.
std::atomic_flag vidangeencours = ATOMIC_FLAG_INIT;

// What the mass channels read: a double's bits, or `aucunemasse`. One
// 64-bit word, so that a reader on another thread never sees half of it.
constexpr std::uint64_t aucunemasse = 0x7FF8000000000777;  // a NaN no conversion yields
alignas(8) std::uint64_t publiee;

void publie()
{
    std::uint64_t bits = aucunemasse;
    if (sansmasse == absence::aucune)
        std::memcpy(&bits, &mesure, sizeof bits);
    __atomic_store_n(&publiee, bits, __ATOMIC_RELEASE);
}

void rompt()
{
    // Bytes were lost or garbled somewhere in the current line: whatever
    // was collected, and the rest of that line, must not become a mass.
    // After an outage the first bytes to come may be the end of a line whose
    // start was lost, even if none was in progress: skip to a line feed.
    longueurligne = 0;
    debordee = false;
    resynchro = true;
}

void perte()
{
    // From here on the last mass may no longer be on the pan.
    sansmasse = absence::port;
    rompt();
}

// Appends the stored characters of [o, fin) to a line: control bytes are
// never stored, and a line too long to hold whole is marked, not cut.
void ajoute(const octet* o, const octet* fin, char* texte, std::uint8_t& longueur, bool& deborde)
{
    for (; o < fin; ++o) {
        if (*o <= dernierecommande)
            continue;
        if (longueur == tailleligne) {
            deborde = true;
            return;
        }
        texte[longueur++] = static_cast<char>(*o);
    }
}

void ajoute(const octet* o, const octet* fin)
{
    ajoute(o, fin, ligne, longueurligne, debordee);
}

const octet* lfavant(const octet* debut, const octet* fin)
{
    while (fin > debut && fin[-1] != finligne)
        --fin;
    return fin > debut ? fin - 1 : nullptr;
}

const octet* lfapres(const octet* debut, const octet* fin)
{
    while (debut < fin && *debut != finligne)
        ++debut;
    return debut < fin ? debut : nullptr;
}

// Takes in one complete line. True if it decides the reading whatever came
// before it; `bruit` is set if it is noise.
bool decode(const char* texte, std::uint8_t longueur, bool deborde, bool& bruit)
{
    // A number cut at the buffer's end would be a wrong mass.
    if (deborde)
        return false;
    analyse a;
    analyseligne(texte, longueur, a);
    if (!compte(a, longueur))
        return false;
    switch (a.sorte) {
    case genre::pesee:
        std::memcpy(candidat, a.nombre, a.longueurnombre);
        longueurcandidat = a.longueurnombre;
        sansmasse = absence::aucune;
        return true;
    case genre::autreunite:
        sansmasse = absence::unite;
        return true;
    case genre::sansmasse:
        sansmasse = absence::balance;
        return true;
    case genre::bruit:
        bruit = true;
        return false;
    case genre::autre:
        return false;
    }
    return false;
}

// The lines of a clean block, newest first: the newest line that decides
// the reading (a weight line, or one saying there is no mass in grams)
// makes every older line moot, so those are never read. Only lines that
// decide nothing lead further back.
void prendbloc(const octet* debut, const octet* fin)
{
    if (resynchro) {
        const octet* lf = lfapres(debut, fin);
        if (lf == nullptr)
            return;
        resynchro = false;
        debut = lf + 1;
    }
    const octet* dernier = lfavant(debut, fin);
    if (dernier == nullptr) {
        ajoute(debut, fin);
        return;
    }
    bool decide = false;
    bool bruit = false;
    for (const octet* finl = dernier; !decide;) {
        const octet* lf = lfavant(debut, finl);
        if (lf == nullptr) {
            // The oldest line of the block ends the one collected so far.
            ajoute(debut, finl);
            decide = decode(ligne, longueurligne, debordee, bruit);
            break;
        }
        char texte[tailleligne];
        std::uint8_t longueur = 0;
        bool deborde = false;
        ajoute(lf + 1, finl, texte, longueur, deborde);
        decide = decode(texte, longueur, deborde, bruit);
        finl = lf;
    }
    // Noise only counts where no newer line decided: it does not convert,
    // so the last good reading stands, and with a line still to convert
    // that line is it.
    if (!decide && bruit && longueurcandidat == 0)
        mesure = memomesure;
    longueurligne = 0;
    debordee = false;
    ajoute(dernier + 1, fin);
}

void vidange()
{
    if (!portouvert()) {
        perte();
        if (!rouvrecom())
            return;
    }
    for (;;) {
        const bloc b = litbloc();
        switch (b.etat) {
        case verdict::perdu:
            perte();
            return;
        case verdict::suspect:
            rompt();
            break;
        case verdict::propre:
            prendbloc(b.octets, b.octets + b.nombre);
            break;
        }
        if (b.dernier)
            return;
    }
}

void conclut()
{
    if (longueurcandidat == 0)
        return;
    double valeur;
    if (convertit(candidat, longueurcandidat, valeur)) {
        mesure = valeur;
        memomesure = valeur;
    } else {
        // The grammar passed it, so this cannot happen; if it did, no mass
        // rather than the one before.
        sansmasse = absence::balance;
    }
    longueurcandidat = 0;
}

}  // namespace

void lecture()
{
    if (vidangeencours.test_and_set(std::memory_order_acquire))
        return;
    vidange();
    conclut();
    publie();
    vidangeencours.clear(std::memory_order_release);
}

bool masse(double& grammes)
{
    const std::uint64_t bits = __atomic_load_n(&publiee, __ATOMIC_ACQUIRE);
    if (bits == aucunemasse)
        return false;
    std::memcpy(&grammes, &bits, sizeof grammes);
    return true;
}

void reinitialiselecture()
{
    longueurligne = 0;
    debordee = false;
    resynchro = true;
    mesure = 0.0;
    memomesure = -777.0;
    sansmasse = absence::aucune;
    longueurcandidat = 0;
    publie();
}
