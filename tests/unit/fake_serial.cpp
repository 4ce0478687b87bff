#include "fake_serial.h"

#include <algorithm>
#include <deque>

#include "serial/ucommw32.h"

namespace {

struct Octet {
    std::uint8_t valeur;
    bool douteux;
};

std::deque<Octet> file;
bool ouvert;
bool erreurattendue;
bool horsligne;
std::uint32_t nbfantomes;
std::uint32_t taille;
int nbrequetes;
int nbouvertures;
std::uint8_t tampon[tailletampon];

}  // namespace

namespace fakeserial {

void reinitialise()
{
    file.clear();
    ouvert = true;
    erreurattendue = horsligne = false;
    nbfantomes = 0;
    taille = tailletampon;
    nbrequetes = nbouvertures = 0;
}

void recoit(std::string_view octets)
{
    if (!ouvert || horsligne)
        return;
    for (char c : octets)
        file.push_back({static_cast<std::uint8_t>(c), false});
}

void erreurreception()
{
    erreurattendue = true;
}

void debranche(bool d)
{
    horsligne = d;
    if (d)
        file.clear();
}

void fantomes(std::uint32_t n)
{
    nbfantomes = n;
}

void taillebloc(std::uint32_t n)
{
    taille = n;
}

int requetes()
{
    return nbrequetes;
}

int ouvertures()
{
    return nbouvertures;
}

}  // namespace fakeserial

bool ouvrecom()
{
    ++nbouvertures;
    ouvert = !horsligne;
    file.clear();
    return ouvert;
}

bool rouvrecom()
{
    return ouvert || ouvrecom();
}

void fermecom()
{
    ouvert = false;
}

bool portouvert()
{
    return ouvert;
}

bloc litbloc()
{
    if (!ouvert)
        return {tampon, 0, verdict::perdu, true};
    ++nbrequetes;
    if (horsligne) {
        ouvert = false;
        return {tampon, 0, verdict::perdu, true};
    }
    const bool signale = erreurattendue;
    erreurattendue = false;
    if (signale)
        for (auto& o : file)
            o.douteux = true;
    const bool douteux = signale || (!file.empty() && file.front().douteux);
    // As much as is counted, within the block size, and never past the end
    // of the suspect bytes.
    std::uint32_t alire = std::min<std::uint32_t>(
        static_cast<std::uint32_t>(file.size()) + nbfantomes, taille);
    std::uint32_t n = 0;
    while (n < alire && n < file.size() && file[n].douteux == douteux)
        ++n;
    if (n < file.size() && n < alire)
        alire = n;
    for (std::uint32_t i = 0; i < n; ++i) {
        tampon[i] = file.front().valeur;
        file.pop_front();
    }
    return {tampon, n, douteux ? verdict::suspect : verdict::propre, alire == 0 || n < alire};
}
