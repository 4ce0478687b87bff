#include "reading/lecture.h"

#include <atomic>
#include <cstring>

#include "serial/ucommw32.h"

char ligne[tailleligne];
std::uint8_t longueurligne;
bool resynchro;
double mesure = 0.0;
double memomesure = -777.0;
absence sansmasse;

namespace {

// The kept characters of the newest line that passed the decimal rule in
// this drain, converted when the drain ends.
char candidat[tailleligne];
std::uint8_t longueurcandidat;

constexpr std::uint8_t finligne = 10;
constexpr std::uint8_t dernierecommande = 13;
constexpr std::uint8_t lignecourte = 5;

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
    resynchro = true;
}

void perte()
{
    // From here on the last mass may no longer be on the pan.
    sansmasse = absence::port;
    rompt();
}

void recoit(std::uint8_t octet)
{
    if (resynchro) {
        if (octet == finligne)
            resynchro = false;
        return;
    }
    if (octet == finligne) {
        if (longueurligne > lignecourte)
            decode(ligne, longueurligne);
        longueurligne = 0;
        return;
    }
    if (octet <= dernierecommande)
        return;
    if (longueurligne < tailleligne)
        ligne[longueurligne++] = static_cast<char>(octet);
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
            for (std::uint32_t i = 0; i < b.nombre; ++i)
                recoit(b.octets[i]);
            break;
        }
        if (b.dernier)
            return;
    }
}

bool gardee(char c)
{
    return c == '-' || c == '.' || (c >= '0' && c <= '9');
}

// The decimal rule: an optional "-", digits, an optional "." and digits, at
// least a digit or the point.
bool nombrevalide(const char* t, std::size_t n)
{
    std::size_t i = n > 0 && t[0] == '-' ? 1 : 0;
    if (i == n)
        return false;
    bool point = false;
    for (; i < n; ++i) {
        if (t[i] == '.') {
            if (point)
                return false;
            point = true;
        } else if (t[i] < '0' || t[i] > '9') {
            return false;
        }
    }
    return true;
}

// Only the newest good line of a drain is converted: the conversion costs
// far more than collecting a line.
void conclut()
{
    if (longueurcandidat == 0)
        return;
    double valeur;
    if (convertit(candidat, longueurcandidat, valeur)) {
        mesure = valeur;
        memomesure = valeur;
    } else {
        mesure = memomesure;
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

void decode(const char* texte, std::size_t longueur)
{
    char gardes[tailleligne];
    std::size_t n = 0;
    for (std::size_t i = 0; i < longueur; ++i)
        if (gardee(texte[i]))
            gardes[n++] = texte[i];
    if (nombrevalide(gardes, n)) {
        std::memcpy(candidat, gardes, n);
        longueurcandidat = static_cast<std::uint8_t>(n);
        sansmasse = absence::aucune;
    } else if (longueurcandidat == 0) {
        // With a line still to convert, the last good reading is that line.
        mesure = memomesure;
    }
}

void reinitialiselecture()
{
    longueurligne = 0;
    resynchro = false;
    mesure = 0.0;
    memomesure = -777.0;
    sansmasse = absence::aucune;
    longueurcandidat = 0;
    publie();
}
