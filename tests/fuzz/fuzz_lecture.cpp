// libFuzzer target: the reading unit over the real serial unit, over a
// scripted kernel32. After every drain the reading is held to the reference
// model; any departure aborts, so that the fuzzer keeps the input.
//
// Input: bytes arriving from the balance, with commands after '~':
//   ~~   a '~' arrives               ~p   the host polls (one drain)
//   ~eF  next status query reports flags F & 0x1f (A rxover, B overrun,
//        D parity, H frame, P break)
//   ~u   status queries start failing   ~r   they succeed again
//   ~fN  the driver counts phantom bytes: N below 128, else 65536 + N - 192
//        (around the 16-bit limit)
//   ~tN  the tick counter jumps to 0xffffffff - N
//   ~wN  what follows, up to the next poll, happens N kernel32 calls later
//        in that drain (cumulative) instead of before it
// The input ends with a poll, and one more for what came after the drain.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kernel32_script.h"
#include "modele.h"
#include "reading/lecture.h"
#include "serial/ucommw32.h"

namespace {

struct Etat {
    double mesure;
    double memo;
    bool operator==(const Etat& a) const
    {
        return std::memcmp(&mesure, &a.mesure, sizeof mesure) == 0 &&
               std::memcmp(&memo, &a.memo, sizeof memo) == 0;
    }
};

// The unit's documented reaction to one decoded line.
Etat decodemodele(const Etat& e, const std::string& ligne)
{
    double v;
    if (decoderef(ligne, v))
        return {v, v};
    return {e.memo, e.memo};
}

const char* nomsort(Modele::Sort s)
{
    switch (s) {
    case Modele::Sort::decodee:
        return "must count";
    case Modele::Sort::perdue:
        return "spoiled";
    case Modele::Sort::incertaine:
        return "may count";
    }
    return "?";
}

[[noreturn]] void echec(int vidange, const char* quoi, const std::vector<Modele::Ligne>& lignes)
{
    std::fprintf(stderr, "drain %d: %s\n  mesure %.17g memomesure %.17g longueurligne %u\n",
                 vidange, quoi, mesure, memomesure, static_cast<unsigned>(longueurligne));
    for (const auto& l : lignes)
        std::fprintf(stderr, "  line \"%s\" (%s)\n", l.texte.c_str(), nomsort(l.sort));
    std::abort();
}

class Essai {
public:
    Essai()
    {
        fermecom();
        script::reinitialise(modele_);
        nomport = "Com5:";
        modeport = "baud=9600 parity=n data=8 stop=1";
        // A few fake ticks: the single-byte wait must end, and fast.
        delai = 3;
        ouvrecom();
        longueurligne = 0;
        resynchro = false;
        mesure = 0.0;
        memomesure = -777.0;
    }

    void agit(const script::Action& a)
    {
        if (differe_)
            script::planifie(quand_, a);
        else
            script::applique(a);
    }

    void differe(std::uint8_t n)
    {
        differe_ = true;
        quand_ += n;
    }

    void vidange()
    {
        const Etat avant{mesure, memomesure};
        script::debutvidange();
        lecture();
        ++n_;
        // Bytes the drain was told of and left unread: the newest line
        // would be read a poll late.
        const bool laisse = script::vusnonlus() > 0;
        script::finvidange();
        differe_ = false;
        quand_ = 0;
        const auto lignes = modele_.prendlignes();
        if (laisse)
            echec(n_, "drain stopped with bytes waiting", lignes);

        std::vector<Etat> possibles{avant};
        for (const auto& l : lignes) {
            if (l.texte.size() < 6 || l.sort == Modele::Sort::perdue)
                continue;
            std::vector<Etat> apres;
            for (const auto& e : possibles)
                apres.push_back(decodemodele(e, l.texte));
            if (l.sort == Modele::Sort::incertaine)
                apres.insert(apres.end(), possibles.begin(), possibles.end());
            possibles.clear();
            for (const auto& e : apres)
                if (std::find(possibles.begin(), possibles.end(), e) == possibles.end())
                    possibles.push_back(e);
        }
        const Etat obtenu{mesure, memomesure};
        if (std::find(possibles.begin(), possibles.end(), obtenu) == possibles.end()) {
            std::fprintf(stderr, "before the drain: mesure %.17g memomesure %.17g; allowed after:\n",
                         avant.mesure, avant.memo);
            for (const auto& e : possibles)
                std::fprintf(stderr, "  mesure %.17g memomesure %.17g\n", e.mesure, e.memo);
            echec(n_, "reading not allowed by the model", lignes);
        }
        if (longueurligne > tailleligne)
            echec(n_, "line length past the buffer", lignes);
        if (modele_.lignesaine() &&
            (longueurligne != modele_.encours().size() ||
             std::memcmp(ligne, modele_.encours().data(), longueurligne) != 0))
            echec(n_, "line being collected differs from the bytes that came", lignes);
    }

private:
    Modele modele_;
    bool differe_ = false;
    std::uint32_t quand_ = 0;
    int n_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* d, std::size_t n)
{
    using script::Type;
    Essai essai;
    std::size_t i = 0;
    auto arg = [&](std::uint8_t& a) {
        if (i >= n)
            return false;
        a = d[i++];
        return true;
    };
    while (i < n) {
        const std::uint8_t c = d[i++];
        std::uint8_t a = 0;
        if (c != '~') {
            essai.agit({Type::octet, c});
            continue;
        }
        if (!arg(a))
            break;
        switch (a) {
        case '~':
            essai.agit({Type::octet, a});
            break;
        case 'p':
            essai.vidange();
            break;
        case 'e':
            if (arg(a))
                essai.agit({Type::erreur, a & 0x1fu});
            break;
        case 'u':
            essai.agit({Type::debranche, 0});
            break;
        case 'r':
            essai.agit({Type::rebranche, 0});
            break;
        case 'f':
            if (arg(a))
                essai.agit({Type::fantomes, a < 128 ? a : 65536u + a - 192u});
            break;
        case 't':
            if (arg(a))
                essai.agit({Type::horloge, 0xffffffffu - a});
            break;
        case 'w':
            if (arg(a))
                essai.differe(a);
            break;
        default:
            break;
        }
    }
    essai.vidange();
    essai.vidange();
    return 0;
}
