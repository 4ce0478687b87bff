#include "reading/lecture.h"

#include "serial/ucommw32.h"

char ligne[tailleligne];
std::uint8_t longueurligne;
bool resynchro;
double mesure = 0.0;
double memomesure = -777.0;

namespace {

constexpr std::uint8_t finligne = 10;
constexpr std::uint8_t dernierecommande = 13;
constexpr std::uint8_t lignecourte = 5;

void rompt()
{
    // Bytes were lost or garbled somewhere in the current line: whatever
    // was collected, and the rest of that line, must not become a mass.
    // After an outage the first bytes to come may be the end of a line whose
    // start was lost, even if none was in progress: skip to a line feed.
    longueurligne = 0;
    resynchro = true;
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

// Takes in what the latest status query said. False once the port has
// stopped answering: the drain ends there.
bool portrepond()
{
    if (prendrupture())
        rompt();
    if (portpret())
        return true;
    rompt();
    return false;
}

bool gardee(char c)
{
    return c == '-' || c == '.' || (c >= '0' && c <= '9');
}

}  // namespace

void lecture()
{
    for (;;) {
        const std::uint16_t attente = nbattente();
        if (!portrepond() || attente == 0)
            return;
        const int octet = litoctet();
        // The driver counts bytes that no read delivers: stop, or we spin.
        if (!portrepond() || octet == pasdoctet)
            return;
        if (!octetdouteux())
            recoit(static_cast<std::uint8_t>(octet));
    }
}

void decode(const char* texte, std::size_t longueur)
{
    char gardes[tailleligne];
    std::size_t n = 0;
    bool troplong = false;
    for (std::size_t i = 0; i < longueur; ++i) {
        if (!gardee(texte[i]))
            continue;
        if (n == sizeof gardes) {
            troplong = true;
            break;
        }
        gardes[n++] = texte[i];
    }
    double valeur;
    if (!troplong && convertit(gardes, n, valeur)) {
        mesure = valeur;
        memomesure = valeur;
    } else {
        mesure = memomesure;
    }
}
