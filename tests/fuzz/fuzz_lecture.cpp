// libFuzzer target: the reading unit over the real serial unit, over a
// scripted kernel32. After every drain what the mass channels show is held
// to the reference model, and the serial unit's use of the device to the
// rules; any departure aborts, so that the fuzzer keeps the input.
//
// Input: bytes arriving from the balance, with commands after '~':
//   ~~   a '~' arrives
//   ~p   the host polls (one drain); the clock then moves on 250 ms
//   ~eF  the next status query reports flags F & 0x1f (A rxover, B overrun,
//        D parity, H frame, P break)
//   ~u   the adapter is unplugged       ~r   it is plugged back in
//   ~g   the next status query fails    ~l   the next read fails
//   ~oN  the next open fails at configuration step N & 3
//   ~b   another program takes the port, or lets it go
//   ~fN  the driver counts phantom bytes: N below 128, else 65536 + N - 192
//        (around the 16-bit limit)
//   ~cN  the clock moves on 8N ms ("~c}" is a second)
//   ~tN  the clock jumps to 2^32 - 1 - 4N
//   ~wN  what follows, up to the next poll, happens N kernel32 calls later
//        in that drain (cumulative); the clock still moves at once
// The library loads (opens the port) at the first byte, poll or ~w, so that
// the commands before it set the scene. The input ends with a poll, and one
// more for what came after the drain. FUZZ_LECTURE_TRACE=1 in the
// environment prints every drain.
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

std::string montre(bool m, double g)
{
    char t[32];
    if (!m)
        return "no mass (-777)";
    std::snprintf(t, sizeof t, "%.17g", g);
    return t;
}

std::string decrit(const Lecture& l)
{
    char t[96];
    if (l.sansmasse)
        std::snprintf(t, sizeof t, "-777 (last good %.17g)", l.memo);
    else
        std::snprintf(t, sizeof t, "%.17g (last good %.17g)", l.mesure, l.memo);
    return t;
}

class Essai {
public:
    Essai()
    {
        fermecom();  // the previous input's port
        script::reinitialise(modele_);
        nomport = "Com5:";
        modeport = "baud=9600 parity=n data=8 stop=1";
        delai = 3;
    }

    void agit(const script::Action& a)
    {
        charge();
        if (differe_)
            script::planifie(quand_, a);
        else
            script::applique(a);
    }

    // Before the library loads: no drain to defer to.
    void prepare(const script::Action& a)
    {
        if (charge_)
            agit(a);
        else
            script::applique(a);
    }

    void differe(std::uint8_t n)
    {
        charge();
        differe_ = true;
        quand_ += n;
    }

    void vidange()
    {
        charge();
        script::debutvidange();
        lecture();
        script::finvidange();
        ++n_;
        differe_ = false;
        quand_ = 0;
        evenements_ = modele_.prendevenements();
        verifie();

        const std::vector<Lecture> avant = possibles_;
        for (const auto& e : evenements_) {
            std::vector<Lecture> apres;
            for (const auto& l : possibles_) {
                if (e.panne)
                    apres.push_back(panne(l));
                else if (e.sort == Modele::Sort::perdue)
                    apres.push_back(l);
                else
                    apres.push_back(suit(l, e.texte, e.longueur));
            }
            if (!e.panne && e.sort == Modele::Sort::incertaine)
                apres.insert(apres.end(), possibles_.begin(), possibles_.end());
            possibles_.clear();
            for (const auto& l : apres)
                if (std::find(possibles_.begin(), possibles_.end(), l) == possibles_.end())
                    possibles_.push_back(l);
        }
        double g = 0;
        const bool m = masse(g);
        std::vector<Lecture> retenues;
        for (const auto& l : possibles_)
            if (l.sansmasse == !m && (!m || std::memcmp(&l.mesure, &g, sizeof g) == 0))
                retenues.push_back(l);
        if (retenues.empty()) {
            std::fprintf(stderr, "before the drain the model allowed:\n");
            for (const auto& l : avant)
                std::fprintf(stderr, "  %s\n", decrit(l).c_str());
            std::fprintf(stderr, "after it:\n");
            for (const auto& l : possibles_)
                std::fprintf(stderr, "  %s\n", decrit(l).c_str());
            echec("the mass channels show what the model does not allow");
        }
        possibles_.swap(retenues);
        if (std::getenv("FUZZ_LECTURE_TRACE")) {
            std::fprintf(stderr, "drain %d: shows %s\n", n_, montre(m, g).c_str());
            raconte();
        }

        if (modele_.lignesaine()) {
            const std::string& t = modele_.encours();
            const std::size_t n = std::min(modele_.longueurencours(), tailleligne);
            if (resynchro || longueurligne != n || std::memcmp(ligne, t.data(), n) != 0 ||
                debordee != (modele_.longueurencours() > tailleligne))
                echec("the line being collected differs from the bytes that came");
        }
        script::applique({script::Type::avance, 250});
    }

private:
    void charge()
    {
        if (charge_)
            return;
        charge_ = true;
        reinitialiselecture();
        modele_.charge();
        ouvrecom();
        verifie();
    }

    void verifie()
    {
        const std::string p = script::plainte();
        if (!p.empty())
            echec(p.c_str());
        const auto i = script::derniereouverture();
        if (i.tentee && (echecouverture != i.e || erreurouverture != i.code))
            echec("the serial unit misreports how the latest open ended");
    }

    [[noreturn]] void echec(const char* quoi)
    {
        double g = 0;
        const bool m = masse(g);
        std::fprintf(stderr, "drain %d: %s\n  shown %s; mesure %.17g memomesure %.17g\n", n_,
                     quoi, montre(m, g).c_str(), mesure, memomesure);
        std::fprintf(stderr, "  line being collected: %u characters%s%s\n",
                     static_cast<unsigned>(longueurligne), debordee ? ", overflowed" : "",
                     resynchro ? ", skipping to a line feed" : "");
        raconte();
        std::abort();
    }

    void raconte() const
    {
        for (const auto& e : evenements_) {
            if (e.panne)
                std::fprintf(stderr, "  outage\n");
            else
                std::fprintf(stderr, "  line \"%s\" (%zu characters, %s)\n", e.texte.c_str(),
                             e.longueur, nomsort(e.sort));
        }
        std::fprintf(stderr, "kernel32 calls of the drain:\n%s", script::journal().c_str());
    }

    Modele modele_;
    std::vector<Lecture> possibles_{Lecture{}};
    std::vector<Modele::Evenement> evenements_;
    bool charge_ = false;
    bool differe_ = false;
    std::uint32_t quand_ = 0;
    int n_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* d, std::size_t n)
{
    using script::Type;
    Essai essai;
    bool occupe = false;
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
                essai.prepare({Type::erreur, a & 0x1fu});
            break;
        case 'u':
            essai.prepare({Type::debranche, 0});
            break;
        case 'r':
            essai.prepare({Type::rebranche, 0});
            break;
        case 'g':
            essai.prepare({Type::accroc, 0});
            break;
        case 'l':
            essai.prepare({Type::echeclecture, 0});
            break;
        case 'o':
            if (arg(a))
                essai.prepare({Type::refus, a & 3u});
            break;
        case 'b':
            occupe = !occupe;
            essai.prepare({Type::occupe, occupe});
            break;
        case 'f':
            if (arg(a))
                essai.prepare({Type::fantomes, a < 128 ? a : 65536u + a - 192u});
            break;
        case 'c':
            if (arg(a))
                essai.prepare({Type::avance, 8u * a});
            break;
        case 't':
            if (arg(a))
                essai.prepare({Type::horloge, 0xffffffffu - 4u * a});
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
