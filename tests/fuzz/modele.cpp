#include "modele.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <unordered_map>

#include "serial/kernel32_api.h"

namespace {

// The grammar, from the balances' formats. Bytes past ASCII separate like
// spaces and are mapped to one before matching; letters are ASCII.

// A word in any case.
std::string ci(const char* mot)
{
    std::string r;
    for (; *mot; ++mot) {
        const char c = *mot;
        if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') {
            r += '[';
            r += static_cast<char>(c & ~0x20);
            r += static_cast<char>(c | 0x20);
            r += ']';
        } else {
            r += c;
        }
    }
    return r;
}

std::string ou(std::initializer_list<std::string> l)
{
    std::string r = "(?:";
    for (const auto& m : l) {
        if (r.size() > 3)
            r += '|';
        r += m;
    }
    return r + ')';
}

struct Grammaire {
    std::regex surcharge, erreur, rangee, nombre;

    Grammaire()
    {
        const std::string sep = "[ ,:]+";
        // Status fields: stability, gross or net (upper-case G and N alone;
        // "Wt" or "Wt." may follow them), each followed by a separator.
        const std::string stabilite = ou({ci("st"), ci("us")});
        const std::string brutnet = ou({"G", "N", ci("gs"), ci("gross"), ci("nt"), ci("net"),
                                        ci("netto"), ci("brut"), ci("brutto")});
        const std::string champs =
            "(?:" + ou({stabilite, brutnet + "(?:" + sep + ci("wt") + "\\.?)?"}) + sep + ")*";
        const std::string debut = " *" + champs;
        // g in lower case only; the others in any case.
        const std::string autres =
            ou({ci("lb"), ci("lbs"), ci("oz"), ci("ozt"), ci("dwt"), ci("ct"), ci("gn"), ci("tl"),
                ci("mom"), ci("n"), ci("pcs"), "%"});
        const std::string unite = "(g)|(" + ci("kg") + ")|(" + ci("mg") + ")|(" + autres + ")";
        // "OL" where a field or, after a sign, the number would be, perhaps
        // run into its unit ("OLkg"); what follows it does not matter.
        surcharge.assign(debut + "(?:[-+] *)?OL(?:" + unite + ")?(?:[^A-Za-z].*)?",
                         std::regex::optimize);
        // ERR or ERROR (any case) then perhaps a code, E (upper case) then a
        // code; a '-' or ':' may stand before the code.
        erreur.assign(debut + ou({ou({ci("err"), ci("error")}) + " *(?:[-:] *)?[0-9]*",
                                  "E *(?:[-:] *)?[0-9]+"}) +
                          " *",
                      std::regex::optimize);
        // Two or more '^' (overload), or of '-' and '_' (underload), then a
        // unit or nothing.
        rangee.assign(debut + "(?:\\^{2,}|[-_]{2,}) *(?:" + unite + ")? *", std::regex::optimize);
        // A sign (perhaps apart), one number with at most one decimal point,
        // or a decimal comma between digits; a unit or nothing.
        nombre.assign(debut + "(?:([-+]) *)?([0-9]*\\.[0-9]*|[0-9]+,[0-9]+|[0-9]+) *(?:" + unite +
                          ")? *",
                      std::regex::optimize);
    }
};

// The number's value in grams, from its decimal text: the decimal point
// moves for kg and mg, so that one rounding, strtod's, makes the double.
double valeur(bool negatif, std::string nombre, int decalage)
{
    std::replace(nombre.begin(), nombre.end(), ',', '.');
    const auto point = nombre.find('.');
    std::string entier = nombre.substr(0, point);
    std::string fraction = point == std::string::npos ? "" : nombre.substr(point + 1);
    if (decalage > 0) {
        fraction.append(static_cast<std::size_t>(decalage), '0');
        entier += fraction.substr(0, static_cast<std::size_t>(decalage));
        fraction.erase(0, static_cast<std::size_t>(decalage));
    } else if (decalage < 0) {
        const auto n = static_cast<std::size_t>(-decalage);
        entier.insert(0, n, '0');
        fraction.insert(0, entier.substr(entier.size() - n));
        entier.erase(entier.size() - n);
    }
    const std::string texte = std::string(negatif ? "-" : "") + "0" + entier + "." + fraction + "0";
    return std::strtod(texte.c_str(), nullptr);
}

Classement analyse(std::string t)
{
    static const Grammaire g;
    for (char& c : t)
        if (static_cast<unsigned char>(c) >= 127)
            c = ' ';
    std::smatch m;
    if (std::regex_match(t, g.surcharge) || std::regex_match(t, g.erreur) ||
        std::regex_match(t, g.rangee))
        return {Sorte::sansmasse, 0};
    if (std::regex_match(t, m, g.nombre)) {
        if (m[6].matched)
            return {Sorte::autreunite, 0};
        const int decalage = m[4].matched ? 3 : m[5].matched ? -3 : 0;
        return {Sorte::pesee, valeur(m[1].matched && m[1] == "-", m[2].str(), decalage)};
    }
    const bool chiffre = std::any_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
    return {chiffre ? Sorte::autre : Sorte::bruit, 0};
}

}  // namespace

Classement classe(const std::string& texte, std::size_t longueur)
{
    // Inputs repeat their lines: the regular expressions are slow.
    static std::unordered_map<std::string, Classement> connus;
    if (longueur > lignelimite)
        return {Sorte::autre, 0};
    if (auto it = connus.find(texte); it != connus.end())
        return it->second;
    if (connus.size() > 50000)
        connus.clear();
    return connus[texte] = analyse(texte);
}

bool Lecture::operator==(const Lecture& l) const
{
    return std::memcmp(&mesure, &l.mesure, sizeof mesure) == 0 &&
           std::memcmp(&memo, &l.memo, sizeof memo) == 0 && sansmasse == l.sansmasse;
}

Lecture suit(const Lecture& avant, const std::string& texte, std::size_t longueur)
{
    const Classement c = classe(texte, longueur);
    // Short lines are fragments, unless they say there is no mass.
    if (longueur <= 5 && c.sorte != Sorte::sansmasse)
        return avant;
    switch (c.sorte) {
    case Sorte::pesee:
        return {c.grammes, c.grammes, false};
    case Sorte::autreunite:
    case Sorte::sansmasse:
        return {avant.mesure, avant.memo, true};
    case Sorte::bruit:
        return {avant.memo, avant.memo, avant.sansmasse};
    case Sorte::autre:
        break;
    }
    return avant;
}

Lecture panne(const Lecture& avant)
{
    return {avant.mesure, avant.memo, true};
}

bool Modele::Portee::touche(std::uint8_t octet)
{
    if (octets > 0) {
        --octets;
        return true;
    }
    if (jusqualf) {
        if (octet == 10)
            jusqualf = false;
        return true;
    }
    return false;
}

void Modele::charge()
{
    certaine_.coupe();
    possible_.coupe();
}

void Modele::requete(std::uint32_t erreurs, std::uint32_t attente, std::uint32_t fantomes)
{
    constexpr std::uint32_t reception = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME;
    if (!(erreurs & reception))
        return;
    // A receive error spoils the line being collected, the bytes waiting
    // now, and the line those bytes run into.
    certaine_.octets = std::max<std::uint64_t>(certaine_.octets, attente);
    certaine_.coupe();
    // A count inflated by bytes that never come still names the next bytes
    // delivered as the suspect ones.
    possible_.octets = std::max<std::uint64_t>(possible_.octets, std::uint64_t{attente} + fantomes);
    possible_.coupe();
}

void Modele::panne()
{
    // Bytes may be lost while it lasts: the line in progress, and the one
    // the next bytes run into, are spoiled.
    certaine_.coupe();
    possible_.coupe();
    evenements_.push_back({true, {}, 0, Sort::perdue});
}

void Modele::ouverture()
{
    // The old queue, suspect bytes included, is gone.
    certaine_.octets = possible_.octets = 0;
}

void Modele::livre(std::uint8_t octet)
{
    const bool certain = certaine_.touche(octet) || certaine_.ligne;
    const bool possible = possible_.touche(octet) || possible_.ligne || certain;
    certaine_.ligne = certain;
    possible_.ligne = possible;
    if (octet == 10) {
        evenements_.push_back({false, texte_, longueur_,
                               certain    ? Sort::perdue
                               : possible ? Sort::incertaine
                                          : Sort::decodee});
        texte_.clear();
        longueur_ = 0;
        certaine_.ligne = possible_.ligne = false;
        return;
    }
    if (octet <= 13)
        return;
    if (texte_.size() <= lignelimite)
        texte_ += static_cast<char>(octet);
    ++longueur_;
}

std::vector<Modele::Evenement> Modele::prendevenements()
{
    std::vector<Evenement> e;
    e.swap(evenements_);
    return e;
}

bool Modele::lignesaine() const
{
    return !certaine_.active() && !possible_.active();
}
