#include "serial/ucommw32.h"

#include "serial/kernel32_api.h"

const char* nomport = "Com2:";
const char* modeport = "baud=1200 parity=e data=7 stop=1";
std::uint16_t delai = 1000;
etape echecouverture;
std::uint32_t erreurouverture;

namespace {

// All zero-initialised: no constructor may run at load.
HANDLE port;
bool ouvert;
bool essaye;       // an open was attempted at `dernieressai`
DWORD dernieressai;
bool moderefuse;   // the mode string does not parse: no attempt can succeed
DCB etat;
COMMTIMEOUTS delais;
DWORD douteux;     // bytes still queued from a query that reported a receive error
std::uint8_t tampon[tailletampon];

constexpr DWORD erreursreception = CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME;

bool abandonne(etape e)
{
    echecouverture = e;
    erreurouverture = GetLastError();
    if (e != etape::creation)
        CloseHandle(port);
    return false;
}

bloc perdu()
{
    // The handle of an unplugged adapter never works again, even once it is
    // back: only a new open helps.
    fermecom();
    return {tampon, 0, verdict::perdu, true};
}

}  // namespace

bool ouvrecom()
{
    fermecom();
    moderefuse = false;
    essaye = true;
    dernieressai = GetTickCount();
    port = CreateFileA(nomport, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return abandonne(etape::creation);
    // A step that fails leaves the port at settings nobody asked for.
    if (!SetupComm(port, 256, 256))
        return abandonne(etape::files);
    etat.DCBlength = sizeof etat;
    if (!GetCommState(port, &etat))
        return abandonne(etape::lecture);
    if (!BuildCommDCBA(modeport, &etat)) {
        moderefuse = true;
        return abandonne(etape::mode);
    }
    if (!SetCommState(port, &etat))
        return abandonne(etape::reglage);
    delais.ReadIntervalTimeout = 0;
    delais.ReadTotalTimeoutMultiplier = 0;
    delais.ReadTotalTimeoutConstant = delai;
    delais.WriteTotalTimeoutMultiplier = 0;
    delais.WriteTotalTimeoutConstant = delai;
    if (!SetCommTimeouts(port, &delais))
        return abandonne(etape::delais);
    // A new handle starts with empty queues: nothing left to suspect.
    douteux = 0;
    echecouverture = etape::aucune;
    erreurouverture = 0;
    ouvert = true;
    return true;
}

bool rouvrecom()
{
    if (ouvert)
        return true;
    if (moderefuse)
        return false;
    // Unsigned difference: right across the tick counter's wrap.
    if (essaye && GetTickCount() - dernieressai < intervalleouverture)
        return false;
    return ouvrecom();
}

void fermecom()
{
    if (!ouvert)
        return;
    CloseHandle(port);
    ouvert = false;
}

bool portouvert()
{
    return ouvert;
}

bloc litbloc()
{
    // A closed handle's value may already name something else.
    if (!ouvert)
        return {tampon, 0, verdict::perdu, true};
    DWORD erreurs = 0;
    COMSTAT statut{};
    if (!ClearCommError(port, &erreurs, &statut))
        return perdu();
    DWORD alire = statut.cbInQue;
    verdict v = verdict::propre;
    if (erreurs & erreursreception) {
        // Whatever waits now may be garbled; so may the line in progress,
        // even with nothing waiting.
        douteux = alire;
        v = verdict::suspect;
    }
    // A block is wholly suspect or wholly clean: stop at the last suspect byte.
    if (douteux > 0) {
        v = verdict::suspect;
        if (alire > douteux)
            alire = douteux;
    }
    if (alire > tailletampon)
        alire = tailletampon;
    if (alire == 0)
        return {tampon, 0, v, true};
    DWORD lus = 0;
    if (!ReadFile(port, tampon, alire, &lus, nullptr))
        return perdu();
    douteux -= lus < douteux ? lus : douteux;
    // Fewer bytes than counted: the driver counts some that no read
    // delivers, and asking again would only wait out the time-out.
    return {tampon, lus, v, lus < alire};
}
