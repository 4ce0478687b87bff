#include "fake_serial.h"

#include <deque>

#include "serial/ucommw32.h"

namespace {

struct Octet {
    std::uint8_t valeur;
    bool douteux;
};

std::deque<Octet> file;
bool erreurattendue;
bool horsligne;
std::uint16_t nbfantomes;
bool rupture;
bool dernierdouteux;
int nbrequetes;

}  // namespace

namespace fakeserial {

void reinitialise()
{
    file.clear();
    erreurattendue = horsligne = rupture = dernierdouteux = false;
    nbfantomes = 0;
    nbrequetes = 0;
}

void recoit(std::string_view octets)
{
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
}

void fantomes(std::uint16_t n)
{
    nbfantomes = n;
}

int requetes()
{
    return nbrequetes;
}

}  // namespace fakeserial

std::uint16_t nbattente()
{
    ++nbrequetes;
    if (horsligne)
        return 0;
    if (erreurattendue) {
        erreurattendue = false;
        rupture = true;
        for (auto& o : file)
            o.douteux = true;
    }
    if (nbfantomes > 0)
        return nbfantomes;
    return static_cast<std::uint16_t>(file.size());
}

int litoctet()
{
    if (nbattente() == 0 || file.empty())
        return pasdoctet;
    Octet o = file.front();
    file.pop_front();
    dernierdouteux = o.douteux;
    return o.valeur;
}

bool portpret()
{
    return !horsligne;
}

bool prendrupture()
{
    bool r = rupture;
    rupture = false;
    return r;
}

bool octetdouteux()
{
    return dernierdouteux;
}
