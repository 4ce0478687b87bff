// pondixcheck: what a technician runs, with the host program closed, to see
// whether the balance reaches the DLL: the port and mode the DLL would use,
// whether it opens and why not, every line received and what the DLL would
// read from it, and a verdict in the exit status.
//
//   pondixcheck [pondix5.dll|pondix1.dll] [--seconds N]
//
// Exit status: 0 weight lines read; 1 the port never opened; 2 no lines,
// or no weight line in grams; 3 a command line it does not understand.
#include "check/sortie.h"
#include "reading/lecture.h"
#include "reading/pesee.h"
#include "serial/kernel32_api.h"
#include "serial/reglages.h"
#include "serial/ucommw32.h"

namespace {

constexpr int luesouvent = 0, pasdeport = 1, pasdepesee = 2, usage = 3;

constexpr std::uint32_t pause = 100;  // ms between polls, as a host polls

struct Options {
    char dll[MAX_PATH + 1];
    std::uint32_t secondes;
};

[[noreturn]] void termine(int code)
{
    ExitProcess(static_cast<UINT>(code));
    for (;;) {
    }
}

[[noreturn]] void mauvaisusage(const char* pourquoi)
{
    ecrit("pondixcheck: ");
    ecrit(pourquoi);
    finligne();
    ecrit("usage: pondixcheck [pondix5.dll|pondix1.dll] [--seconds N]");
    finligne();
    termine(usage);
}

bool pareil(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b)
        if ((*a | 0x20) != (*b | 0x20))
            return false;
    return *a == *b;
}

// The words of the command line after the program's own name, quotes
// taken off; `mot` gets each in turn.
const char* motsuivant(const char* p, char* mot, std::size_t taille)
{
    while (*p == ' ' || *p == '\t')
        ++p;
    std::size_t n = 0;
    bool guillemets = false;
    for (; *p && (guillemets || (*p != ' ' && *p != '\t')); ++p) {
        if (*p == '"') {
            guillemets = !guillemets;
            continue;
        }
        if (n + 1 < taille)
            mot[n++] = *p;
    }
    mot[n] = '\0';
    return p;
}

Options litoptions()
{
    Options o{};
    const char defaut[] = "pondix5.dll";
    for (std::size_t i = 0; i < sizeof defaut; ++i)
        o.dll[i] = defaut[i];
    o.secondes = 10;
    char mot[MAX_PATH + 1];
    const char* p = motsuivant(GetCommandLineA(), mot, sizeof mot);
    bool dllvue = false;
    for (;;) {
        p = motsuivant(p, mot, sizeof mot);
        if (mot[0] == '\0')
            break;
        if (pareil(mot, "--seconds")) {
            p = motsuivant(p, mot, sizeof mot);
            std::uint32_t n = 0;
            const char* c = mot;
            for (; *c >= '0' && *c <= '9' && n < 100000; ++c)
                n = n * 10 + static_cast<std::uint32_t>(*c - '0');
            if (c == mot || *c || n == 0 || n > 3600)
                mauvaisusage("--seconds takes a number of seconds from 1 to 3600");
            o.secondes = n;
        } else if (pareil(mot, "--help") || pareil(mot, "/?")) {
            ecrit("usage: pondixcheck [pondix5.dll|pondix1.dll] [--seconds N]");
            finligne();
            termine(usage);
        } else if (!dllvue && mot[0] != '-') {
            for (std::size_t i = 0; i <= MAX_PATH; ++i)
                if ((o.dll[i] = mot[i]) == '\0')
                    break;
            dllvue = true;
        } else {
            mauvaisusage("unknown argument");
        }
    }
    return o;
}

// "pondix5.dll" -> '5': the build's port digit, from the DLL's file name.
char chiffreport(const char* dll)
{
    const char* nom = dll;
    for (const char* p = dll; *p; ++p)
        if (*p == '\\' || *p == '/' || *p == ':')
            nom = p + 1;
    const char prefixe[] = "pondix";
    for (std::size_t i = 0; i + 1 < sizeof prefixe; ++i)
        if ((nom[i] | 0x20) != prefixe[i])
            return 0;
    const char c = nom[sizeof prefixe - 1];
    if (c < '0' || c > '9' || !pareil(nom + sizeof prefixe, ".dll"))
        return 0;
    return c;
}

// Beside the DLL named on the command line, or beside pondixcheck.exe when
// the name has no folder.
bool inidelabibliotheque(const char* dll, char* ini, std::size_t taille)
{
    bool dossier = false;
    for (const char* p = dll; *p; ++p)
        dossier = dossier || *p == '\\' || *p == '/' || *p == ':';
    if (dossier)
        return cheminini(dll, ini, taille);
    char chemin[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameA(nullptr, chemin, sizeof chemin);
    if (n == 0 || n >= sizeof chemin)
        return false;
    std::size_t fin = n;
    while (fin > 0 && chemin[fin - 1] != '\\' && chemin[fin - 1] != '/')
        --fin;
    std::size_t k = fin;
    for (const char* p = dll; *p; ++p) {
        if (k + 1 >= sizeof chemin)
            return false;
        chemin[k++] = *p;
    }
    chemin[k] = '\0';
    return cheminini(chemin, ini, taille);
}

void ditouverture()
{
    ecrit("open: failed at ");
    switch (echecouverture) {
    case etape::creation:
        ecrit("CreateFileA: ");
        break;
    case etape::files:
        ecrit("SetupComm: ");
        break;
    case etape::lecture:
        ecrit("GetCommState: ");
        break;
    case etape::mode:
        ecrit("BuildCommDCBA: ");
        break;
    case etape::reglage:
        ecrit("SetCommState: ");
        break;
    case etape::delais:
        ecrit("SetCommTimeouts: ");
        break;
    case etape::aucune:
        break;
    }
    ecriterreur(erreurouverture);
    finligne();
    ecrit("  likely: ");
    if (echecouverture == etape::mode) {
        ecrit("the mode is not one Windows understands; write it as in "
              "\"baud=9600 parity=n data=8 stop=1\" in the ini file.");
    } else if (echecouverture == etape::creation && erreurouverture == 2) {
        ecrit("no such port: the adapter is unplugged, or Windows gave it another COM "
              "number. See Device Manager, Ports (COM & LPT), and set name= in the ini file.");
    } else if (echecouverture == etape::creation && erreurouverture == 5) {
        ecrit("another program holds the port (the host program? a terminal?). Close it "
              "and run pondixcheck again.");
    } else if (echecouverture == etape::reglage) {
        ecrit("the driver refused these settings: check mode= in the ini file.");
    } else {
        ecrit("the port or its driver is not working: unplug the adapter, plug it back "
              "and try again.");
    }
    finligne();
}

struct Bilan {
    std::uint32_t octets;
    std::uint32_t lignes;
    std::uint32_t pesees;
    double derniere;
    bool autrechose;  // lines in another unit, or saying there is no mass
    bool ouvert;      // the port was open at some time
};

// What the DLL makes of one complete line, in words.
void ditligne(const char* texte, std::size_t n, bool deborde, bool sautee, Bilan& b)
{
    ecrit("  \"");
    ecritligne(texte, n);
    ecrit(deborde ? "...\"  " : "\"  ");
    ++b.lignes;
    if (sautee) {
        ecrit("not read: its start may have been lost (first line after an open or a fault)");
        finligne();
        return;
    }
    if (deborde) {
        ecrit("not a weight line: longer than 64 characters");
        finligne();
        return;
    }
    analyse a;
    analyseligne(texte, n, a);
    if (!compte(a, n)) {
        ecrit(n == 0 ? "(empty)" : "ignored: 5 characters or fewer");
        finligne();
        return;
    }
    double g = 0;
    switch (a.sorte) {
    case genre::pesee:
        if (convertit(a.nombre, a.longueurnombre, g)) {
            ecrit("-> ");
            ecritgrammes(g);
            ecrit(" g");
            ++b.pesees;
            b.derniere = g;
        } else {
            ecrit("-> -777: the number does not convert");
        }
        break;
    case genre::autreunite:
        ecrit("-> -777: the balance shows ");
        ecrit(a.unite, a.longueurunite);
        ecrit(", not grams");
        b.autrechose = true;
        break;
    case genre::sansmasse:
        ecrit(a.pourquoi == raison::surcharge    ? "-> -777: overload"
              : a.pourquoi == raison::souscharge ? "-> -777: underload"
                                                 : "-> -777: the balance reports an error");
        b.autrechose = true;
        break;
    case genre::bruit:
        ecrit("noise: no figure; the last reading stands");
        break;
    case genre::autre:
        ecrit("not a weight line: ignored");
        break;
    }
    finligne();
}

void horodate(std::uint32_t debut)
{
    ecritsecondes(GetTickCount() - debut);
    ecrit(" s");
}

Bilan ecoute(std::uint32_t secondes)
{
    Bilan b{};
    char ligne[lignemax];
    std::size_t n = 0;
    bool deborde = false;
    bool saute = true;
    // As the DLL, after an open or a fault: the line in progress, and the
    // next one, whose start may be lost, are not read.
    auto recommence = [&] {
        saute = true;
        n = 0;
        deborde = false;
    };
    bool ouvert = portouvert();
    b.ouvert = ouvert;
    const std::uint32_t debut = GetTickCount();
    while (GetTickCount() - debut < secondes * 1000) {
        if (!ouvert && rouvrecom()) {
            ouvert = b.ouvert = true;
            horodate(debut);
            ecrit("  port open again");
            finligne();
            recommence();
        }
        while (ouvert) {
            const bloc bl = litbloc();
            if (bl.etat == verdict::perdu) {
                horodate(debut);
                ecrit("  port lost (adapter unplugged?): trying to open it again every second");
                finligne();
                ouvert = false;
                break;
            }
            if (bl.etat == verdict::suspect) {
                horodate(debut);
                ecrit("  receive error (overrun, parity or framing): ");
                ecritentier(bl.nombre);
                ecrit(" bytes and the line they run into are dropped; wrong baud rate or "
                      "parity?");
                finligne();
                b.octets += bl.nombre;
                recommence();
            } else {
                b.octets += bl.nombre;
                for (std::uint32_t i = 0; i < bl.nombre; ++i) {
                    const auto c = bl.octets[i];
                    if (c == 10) {
                        horodate(debut);
                        ditligne(ligne, n, deborde, saute, b);
                        saute = false;
                        n = 0;
                        deborde = false;
                    } else if (c > 13) {
                        if (n < sizeof ligne)
                            ligne[n++] = static_cast<char>(c);
                        else
                            deborde = true;
                    }
                }
            }
            if (bl.dernier)
                break;
        }
        Sleep(pause);
    }
    return b;
}

}  // namespace

extern "C" [[noreturn]] void verification()
{
    ouvresortie();
    const Options o = litoptions();
    const char chiffre = chiffreport(o.dll);
    if (chiffre == 0)
        mauvaisusage("name the DLL as pondixN.dll (pondix5.dll, pondix1.dll)");
    static char nombuild[] = "Com0:";
    nombuild[3] = chiffre;
    nomport = nombuild;
    modeport = "baud=9600 parity=n data=8 stop=1";

    ecrit("pondixcheck " PONDIX_VERSION ": the balance line of ");
    ecrit(o.dll);
    finligne();
    char ini[MAX_PATH + 1];
    if (inidelabibliotheque(o.dll, ini, sizeof ini)) {
        ecrit("settings: ");
        ecrit(ini);
        ecrit(litreglages(ini) ? " (read)" : " (none there: the build's port and mode)");
    } else {
        ecrit("settings: path too long for an ini file: the build's port and mode");
    }
    finligne();
    ecrit("port: ");
    ecrit(nomport);
    ecrit("   mode: ");
    ecrit(modeport);
    finligne();

    const bool ouvert = ouvrecom();
    if (ouvert) {
        ecrit("open: ok");
    } else {
        ditouverture();
        if (echecouverture == etape::mode)
            termine(pasdeport);
        ecrit("trying again every second");
    }
    finligne();
    ecrit("listening for ");
    ecritentier(o.secondes);
    ecrit(" s...");
    finligne();
    const Bilan b = ecoute(o.secondes);
    fermecom();

    ecrit("verdict: ");
    if (b.pesees > 0) {
        ecritentier(b.pesees);
        ecrit(" weight lines read, the last ");
        ecritgrammes(b.derniere);
        ecrit(" g: the DLL reads this balance.");
        finligne();
        termine(luesouvent);
    }
    if (!b.ouvert) {
        ecrit("no port: see above why it did not open.");
        finligne();
        termine(pasdeport);
    }
    if (b.octets == 0) {
        ecrit("no bytes at all. Check the balance's RS-232 settings (baud rate, parity), its "
              "output mode (continuous, or press Print), and the cable (a null-modem cable?).");
    } else if (b.lignes == 0) {
        ecritentier(b.octets);
        ecrit(" bytes but no complete line: wrong baud rate or parity? Compare mode= with the "
              "balance's settings.");
    } else if (b.autrechose) {
        ecrit("lines came, but none with a mass in grams: set the balance to g or kg, and clear "
              "any overload or error.");
    } else {
        ecrit("lines came, but no weight line: set the balance to print or stream the weight.");
    }
    finligne();
    termine(pasdepesee);
}
