#include "modele.h"

#include <algorithm>
#include <cstdlib>

#include "serial/kernel32_api.h"

bool convertitref(const std::string& t, double& valeur)
{
    std::size_t i = t.size() > 0 && t[0] == '-' ? 1 : 0;
    std::size_t chiffres = 0;
    bool point = false;
    for (std::size_t j = i; j < t.size(); ++j) {
        if (t[j] == '.') {
            if (point)
                return false;
            point = true;
        } else if (t[j] >= '0' && t[j] <= '9') {
            ++chiffres;
        } else {
            return false;
        }
    }
    if (chiffres == 0) {
        if (!point)
            return false;
        valeur = i == 1 ? -0.0 : 0.0;
        return true;
    }
    char* fin = nullptr;
    valeur = std::strtod(t.c_str(), &fin);
    return fin == t.c_str() + t.size();
}

bool decoderef(const std::string& ligne, double& valeur)
{
    std::string gardes;
    for (char c : ligne)
        if (c == '-' || c == '.' || (c >= '0' && c <= '9'))
            gardes += c;
    return convertitref(gardes, valeur);
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

void Modele::requete(bool reussie, std::uint32_t erreurs, std::uint32_t attente,
                     std::uint32_t fantomes)
{
    constexpr std::uint32_t reception = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME;
    if (!reussie) {
        // An outage spoils the line in progress and, since bytes may be lost
        // while it lasts, the line the next bytes run into: collecting
        // resumes after the next line feed. An earlier error's reach stands.
        certaine_.ligne = possible_.ligne = true;
        certaine_.jusqualf = possible_.jusqualf = true;
        return;
    }
    if (!(erreurs & reception))
        return;
    // A receive error spoils the line being collected, the bytes waiting
    // now, and the line those bytes run into.
    certaine_.octets = std::max<std::uint64_t>(certaine_.octets, attente);
    certaine_.jusqualf = certaine_.ligne = true;
    // A count inflated by bytes that never come still names the next bytes
    // delivered as the suspect ones.
    possible_.octets = std::max<std::uint64_t>(possible_.octets, std::uint64_t{attente} + fantomes);
    possible_.jusqualf = possible_.ligne = true;
}

void Modele::livre(std::uint8_t octet)
{
    const bool certain = certaine_.touche(octet) || certaine_.ligne;
    const bool possible = possible_.touche(octet) || possible_.ligne || certain;
    certaine_.ligne = certain;
    possible_.ligne = possible;
    if (octet == 10) {
        lignes_.push_back({texte_, certain    ? Sort::perdue
                                   : possible ? Sort::incertaine
                                              : Sort::decodee});
        texte_.clear();
        certaine_.ligne = possible_.ligne = false;
        return;
    }
    if (octet > 13 && texte_.size() < 20)
        texte_ += static_cast<char>(octet);
}

std::vector<Modele::Ligne> Modele::prendlignes()
{
    std::vector<Ligne> l;
    l.swap(lignes_);
    return l;
}

bool Modele::lignesaine() const
{
    return !certaine_.active() && !possible_.active();
}
