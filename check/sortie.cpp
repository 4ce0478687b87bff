#include "check/sortie.h"

#include "serial/kernel32_api.h"

namespace {

HANDLE console;
// Written out at each line end or when full: one WriteFile per line.
char tampon[512];
std::size_t rempli;

void vide()
{
    DWORD ecrits = 0;
    if (rempli > 0)
        WriteFile(console, tampon, static_cast<DWORD>(rempli), &ecrits, nullptr);
    rempli = 0;
}

void met(char c)
{
    if (rempli == sizeof tampon)
        vide();
    tampon[rempli++] = c;
}

void chiffres(std::uint64_t n, int largeurmin)
{
    char t[24];
    int k = 0;
    do {
        t[k++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n > 0 || k < largeurmin);
    while (k > 0)
        met(t[--k]);
}

}  // namespace

void ouvresortie()
{
    console = GetStdHandle(STD_OUTPUT_HANDLE);
}

void ecrit(const char* texte)
{
    while (*texte)
        met(*texte++);
}

void ecrit(const char* texte, std::size_t longueur)
{
    for (std::size_t i = 0; i < longueur; ++i)
        met(texte[i]);
}

void ecritentier(std::uint32_t n)
{
    chiffres(n, 1);
}

void ecritgrammes(double g)
{
    if (g < 0) {
        met('-');
        g = -g;
    }
    if (!(g < 1e9)) {
        ecrit("(over a million kg)");
        return;
    }
    // Nine decimals, rounded once, then the trailing zeros dropped.
    const auto nanos = static_cast<std::uint64_t>(g * 1e9 + 0.5);
    chiffres(nanos / 1000000000, 1);
    std::uint64_t reste = nanos % 1000000000;
    if (reste == 0)
        return;
    int decimales = 9;
    while (reste % 10 == 0) {
        reste /= 10;
        --decimales;
    }
    met('.');
    chiffres(reste, decimales);
}

void ecritsecondes(std::uint32_t ms)
{
    chiffres(ms / 1000, 1);
    met('.');
    chiffres(ms % 1000, 3);
}

void ecritligne(const char* texte, std::size_t longueur)
{
    static const char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < longueur; ++i) {
        const auto c = static_cast<unsigned char>(texte[i]);
        if (c >= 32 && c < 127 && c != '\\') {
            met(static_cast<char>(c));
        } else if (c == '\\') {
            ecrit("\\\\");
        } else {
            ecrit("\\x");
            met(hex[c >> 4]);
            met(hex[c & 15]);
        }
    }
}

void finligne()
{
    ecrit("\r\n");
    vide();
}

void ecriterreur(std::uint32_t code)
{
    char texte[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, texte, sizeof texte, nullptr);
    while (n > 0 && (texte[n - 1] == '\r' || texte[n - 1] == '\n' || texte[n - 1] == ' '))
        --n;
    if (n > 0)
        ecrit(texte, n);
    else
        ecrit("Windows error");
    ecrit(" (error ");
    ecritentier(code);
    ecrit(")");
}
