#include "reading/pesee.h"

namespace {

using octet = unsigned char;

bool blanc(octet c)
{
    // Bytes past ASCII are line noise or a code page's letters: never part
    // of a figure, so they separate like spaces.
    return c == ' ' || c >= 127;
}

bool lettre(octet c)
{
    const octet m = c | 0x20;
    return m >= 'a' && m <= 'z';
}

bool chiffre(octet c)
{
    return c >= '0' && c <= '9';
}

// `mot` in lower case; the text in any case.
bool commeen(const char* p, std::size_t n, const char* mot)
{
    std::size_t i = 0;
    for (; i < n; ++i)
        if (mot[i] == '\0' || (static_cast<octet>(p[i]) | 0x20) != static_cast<octet>(mot[i]))
            return false;
    return mot[i] == '\0';
}

bool exactement(const char* p, std::size_t n, const char* mot)
{
    std::size_t i = 0;
    for (; i < n; ++i)
        if (mot[i] == '\0' || p[i] != mot[i])
            return false;
    return mot[i] == '\0';
}

// Gross or net: `Wt` may follow, as in "Net Wt.".
bool brutnet(const char* p, std::size_t n)
{
    if (n == 1)
        return *p == 'G' || *p == 'N';
    switch (static_cast<octet>(*p) | 0x20) {
    case 'g':
        return commeen(p, n, "gs") || commeen(p, n, "gross");
    case 'n':
        return commeen(p, n, "nt") || commeen(p, n, "net") || commeen(p, n, "netto");
    case 'b':
        return commeen(p, n, "brut") || commeen(p, n, "brutto");
    default:
        return false;
    }
}

bool stabilite(const char* p, std::size_t n)
{
    return n == 2 && (commeen(p, n, "st") || commeen(p, n, "us"));
}

enum class echelle : std::uint8_t { grammes, kilo, milli, autre, inconnue };

echelle unite(const char* p, std::size_t n)
{
    if (n == 1 && *p == 'g')
        return echelle::grammes;
    if (n > 3)
        return echelle::inconnue;
    if (commeen(p, n, "kg"))
        return echelle::kilo;
    if (commeen(p, n, "mg"))
        return echelle::milli;
    static const char* const autres[] = {"lb", "lbs", "oz", "ozt", "dwt", "ct", "gn", "tl",
                                         "mom", "n", "pcs", "%"};
    for (const char* m : autres)
        if (commeen(p, n, m))
            return echelle::autre;
    return echelle::inconnue;
}

// "OL", also run into its unit ("OLkg") as some balances print it.
bool surcharge(const char* p, std::size_t n)
{
    return n >= 2 && p[0] == 'O' && p[1] == 'L' &&
           (n == 2 || unite(p + 2, n - 2) != echelle::inconnue);
}

const char* blancs(const char* p, const char* fin)
{
    while (p < fin && blanc(static_cast<octet>(*p)))
        ++p;
    return p;
}

const char* mot(const char* p, const char* fin)
{
    while (p < fin && lettre(static_cast<octet>(*p)))
        ++p;
    return p;
}

// Without a figure the line is noise; with one, it says something else
// than the mass on the pan.
void rien(const char* texte, const char* fin, analyse& a)
{
    a.sorte = genre::bruit;
    for (; texte < fin; ++texte)
        if (chiffre(static_cast<octet>(*texte)))
            a.sorte = genre::autre;
}

void vide(raison r, analyse& a)
{
    a.sorte = genre::sansmasse;
    a.pourquoi = r;
}

// After the value: a unit or nothing, then only blanks. `inconnue` for
// anything else (a second number, a date's rest, another word).
echelle queue(const char* p, const char* fin, analyse& a)
{
    p = blancs(p, fin);
    echelle e = echelle::grammes;
    if (p < fin && (lettre(static_cast<octet>(*p)) || *p == '%')) {
        const char* m = p;
        p = *p == '%' ? p + 1 : mot(p, fin);
        const auto n = static_cast<std::size_t>(p - m);
        e = unite(m, n);
        a.unite = m;
        a.longueurunite = static_cast<std::uint8_t>(n);
    }
    return blancs(p, fin) == fin ? e : echelle::inconnue;
}

// "ERR 4", "Err 7", "E  4": what follows the word.
bool erreur(const char* p, const char* fin, bool chiffresrequis)
{
    p = blancs(p, fin);
    if (p < fin && (*p == '-' || *p == ':'))
        p = blancs(p + 1, fin);
    const char* debut = p;
    while (p < fin && chiffre(static_cast<octet>(*p)))
        ++p;
    if (chiffresrequis && p == debut)
        return false;
    return blancs(p, fin) == fin;
}

// A row of '^' (overload) or of '-' and '_' (underload), then a unit or
// nothing.
bool rangee(const char* p, const char* fin, analyse& a)
{
    const bool haut = *p == '^';
    const char* debut = p;
    while (p < fin && (haut ? *p == '^' : *p == '-' || *p == '_'))
        ++p;
    if (p - debut < 2 || queue(p, fin, a) == echelle::inconnue)
        return false;
    vide(haut ? raison::surcharge : raison::souscharge, a);
    return true;
}

// One decimal number, then its unit. False if the rest is not a weight
// line's.
bool nombre(const char* p, const char* fin, bool negatif, analyse& a)
{
    char* n = a.nombre;
    if (negatif)
        *n++ = '-';
    const char* debut = p;
    bool point = false;
    for (; p < fin; ++p) {
        const octet c = static_cast<octet>(*p);
        if (chiffre(c)) {
            *n++ = static_cast<char>(c);
        } else if (!point && (c == '.' || (c == ',' && p > debut && chiffre(p[-1]) &&
                                           p + 1 < fin && chiffre(p[1])))) {
            // A comma between two digits is a decimal comma.
            point = true;
            *n++ = '.';
        } else {
            break;
        }
    }
    if (p == debut)
        return false;
    const bool chiffres = p - debut > (point ? 1 : 0);
    const echelle e = queue(p, fin, a);
    if (e == echelle::inconnue)
        return false;
    if (e == echelle::autre) {
        a.sorte = genre::autreunite;
        return true;
    }
    // Moving the point in the text: the one rounding is the conversion's.
    if (chiffres && e != echelle::grammes) {
        *n++ = 'e';
        if (e == echelle::milli)
            *n++ = '-';
        *n++ = '3';
    }
    a.longueurnombre = static_cast<std::uint8_t>(n - a.nombre);
    a.sorte = genre::pesee;
    return true;
}

bool lit(const char* p, const char* fin, analyse& a)
{
    p = blancs(p, fin);
    // Status fields: stability, gross or net, each followed by a separator.
    for (bool wt = false; p < fin && lettre(static_cast<octet>(*p));) {
        const char* m = p;
        p = mot(p, fin);
        const auto n = static_cast<std::size_t>(p - m);
        if (surcharge(m, n)) {
            vide(raison::surcharge, a);
            return true;
        }
        const bool err = commeen(m, n, "err") || commeen(m, n, "error");
        if (err || exactement(m, n, "E")) {
            if (!erreur(p, fin, !err))
                return false;
            vide(raison::erreur, a);
            return true;
        }
        if (wt && commeen(m, n, "wt")) {
            wt = false;
            if (p < fin && *p == '.')
                ++p;
        } else if (brutnet(m, n)) {
            wt = true;
        } else if (stabilite(m, n)) {
            wt = false;
        } else {
            return false;
        }
        const char* avant = p;
        while (p < fin && (blanc(static_cast<octet>(*p)) || *p == ',' || *p == ':'))
            ++p;
        if (p == avant && p < fin)
            return false;
    }
    if (p == fin)
        return false;
    // A row of '-' is underload, not a sign.
    if (*p == '^' || *p == '_' || (*p == '-' && p + 1 < fin && (p[1] == '-' || p[1] == '_')))
        return rangee(p, fin, a);
    bool negatif = false;
    if (*p == '+' || *p == '-') {
        negatif = *p == '-';
        p = blancs(p + 1, fin);  // the sign may stand apart from the digits
    }
    if (p < fin && lettre(static_cast<octet>(*p))) {
        const char* m = p;
        if (!surcharge(m, static_cast<std::size_t>(mot(p, fin) - m)))
            return false;
        vide(raison::surcharge, a);
        return true;
    }
    return nombre(p, fin, negatif, a);
}

}  // namespace

void analyseligne(const char* texte, std::size_t longueur, analyse& a)
{
    a.sorte = genre::autre;
    a.pourquoi = raison::aucune;
    a.longueurnombre = 0;
    a.unite = nullptr;
    a.longueurunite = 0;
    if (longueur > lignemax)
        return;
    if (!lit(texte, texte + longueur, a))
        rien(texte, texte + longueur, a);
}
