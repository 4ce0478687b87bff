#include "serial/ucommw32.h"

#include "serial/kernel32_api.h"

const char* nomport = "Com2:";
const char* modeport = "baud=1200 parity=e data=7 stop=1";
std::uint16_t delai = 1000;

namespace {

// All zero-initialised: no constructor may run at load.
HANDLE port;
bool ouvert;
DCB etat;
COMMTIMEOUTS delais;
DWORD erreurs;
COMSTAT statut;

bool requeteok;
bool rupture;
DWORD douteux;  // bytes still queued from a query that reported a receive error
bool dernierdouteux;

constexpr DWORD erreursreception = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME;

}  // namespace

void ouvrecom()
{
    // Each step runs whatever the previous one gave: on a missing device
    // they fail without effect and the port simply never delivers bytes.
    port = CreateFileA(nomport, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ouvert = port != INVALID_HANDLE_VALUE;
    requeteok = ouvert;
    rupture = false;
    douteux = 0;
    dernierdouteux = false;
    SetupComm(port, 256, 256);
    etat.DCBlength = sizeof etat;
    GetCommState(port, &etat);
    BuildCommDCBA(modeport, &etat);
    SetCommState(port, &etat);
    delais.ReadIntervalTimeout = 0;
    delais.ReadTotalTimeoutMultiplier = 0;
    delais.ReadTotalTimeoutConstant = delai;
    delais.WriteTotalTimeoutMultiplier = 0;
    delais.WriteTotalTimeoutConstant = delai;
    SetCommTimeouts(port, &delais);
}

void fermecom()
{
    if (!ouvert)
        return;
    CloseHandle(port);
    ouvert = false;
    requeteok = false;
}

std::uint16_t nbattente()
{
    // A closed handle's value may already name something else.
    if (!ouvert)
        return 0;
    if (!ClearCommError(port, &erreurs, &statut)) {
        // The device is not answering. Bytes already marked as suspect stay
        // so: if it comes back, they are still garbled.
        requeteok = false;
        return 0;
    }
    requeteok = true;
    if (erreurs & erreursreception) {
        rupture = true;
        douteux = statut.cbInQue;
    }
    // Saturate: 65536 cut to 16 bits would read as "nothing waiting".
    return statut.cbInQue > 0xFFFF ? 0xFFFF : static_cast<std::uint16_t>(statut.cbInQue);
}

int litoctet()
{
    DWORD debut = GetTickCount();
    for (;;) {
        BYTE octet = 0;
        DWORD lus = 0;
        if (nbattente() > 0)
            ReadFile(port, &octet, 1, &lus, nullptr);
        // A device that stopped answering delivers nothing: don't spin.
        if (!requeteok)
            return pasdoctet;
        if (lus > 0) {
            dernierdouteux = douteux > 0;
            if (douteux > 0)
                --douteux;
            return octet;
        }
        // Unsigned difference: correct across the tick counter's wrap.
        if (GetTickCount() - debut > delai)
            return pasdoctet;
    }
}

bool portpret()
{
    return ouvert && requeteok;
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
