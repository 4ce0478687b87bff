#include "fake_kernel32.h"

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "serial/kernel32_api.h"

namespace fakekernel32 {

namespace {
std::mutex m;
Etat e;
// Handles are addresses in this array: each open hands out the next one,
// so an old handle never names the new port.
char poignees[64];
int derniere = -1;  // index of the newest handle
bool ouvert;        // that handle is open
bool mort;          // that handle died with an unplug

HANDLE poignee(int i)
{
    return &poignees[i % static_cast<int>(sizeof poignees)];
}

bool valide(HANDLE h)
{
    return ouvert && derniere >= 0 && h == poignee(derniere);
}

// True if the test asked this call of `fonction` to fail.
bool echoue(const char* fonction)
{
    auto it = e.echecs.find(fonction);
    if (it == e.echecs.end() || it->second == 0)
        return false;
    --it->second;
    e.dernierreur = 31;  // ERROR_GEN_FAILURE
    return true;
}

void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void note(const char* format, ...)
{
    if (!e.journalise)
        return;
    char texte[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(texte, sizeof texte, format, args);
    va_end(args);
    e.journal.push_back(texte);
}

// "port1", "port2"... by order of opening, so tests can tell handles apart.
std::string nom(HANDLE h)
{
    if (h == INVALID_HANDLE_VALUE)
        return "INVALID";
    for (int i = 0; i <= derniere; ++i)
        if (h == poignee(i))
            return "port" + std::to_string(i + 1);
    return "other";
}
}  // namespace

std::unique_lock<std::mutex> verrou()
{
    return std::unique_lock<std::mutex>(m);
}

Etat& etat()
{
    return e;
}

void reinitialise()
{
    auto l = verrou();
    e = Etat{};
    derniere = -1;
    ouvert = mort = false;
}

void recoit(const std::string& octets)
{
    auto l = verrou();
    if (!ouvert || mort)
        return;
    for (char c : octets)
        e.file.push_back(static_cast<std::uint8_t>(c));
}

void debranche()
{
    auto l = verrou();
    e.peripherique = false;
    mort = ouvert;
    e.file.clear();
}

void rebranche()
{
    auto l = verrou();
    e.peripherique = true;
}

}  // namespace fakekernel32

using fakekernel32::e;
namespace fk = fakekernel32;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD attributes, HANDLE templatefile)
{
    auto l = fk::verrou();
    fk::note("CreateFileA(%s, 0x%x, %u, %s, %u, 0x%x, %s)", name, access, share,
             security ? "sa" : "null", disposition, attributes, templatefile ? "tpl" : "null");
    if (fk::echoue("CreateFileA"))
        return INVALID_HANDLE_VALUE;
    if (!e.peripherique || e.occupe || fk::ouvert) {
        e.dernierreur = e.peripherique ? 5 : 2;  // ACCESS_DENIED, FILE_NOT_FOUND
        return INVALID_HANDLE_VALUE;
    }
    ++fk::derniere;
    fk::ouvert = true;
    fk::mort = false;
    e.file.clear();
    e.erreurs = 0;
    return fk::poignee(fk::derniere);
}

BOOL CloseHandle(HANDLE h)
{
    auto l = fk::verrou();
    fk::note("CloseHandle(%s)", fk::nom(h).c_str());
    if (!fk::valide(h))
        return FALSE;
    fk::ouvert = false;
    return TRUE;
}

BOOL SetupComm(HANDLE h, DWORD in, DWORD out)
{
    auto l = fk::verrou();
    fk::note("SetupComm(%s, %u, %u)", fk::nom(h).c_str(), in, out);
    return fk::valide(h) && !fk::echoue("SetupComm");
}

BOOL GetCommState(HANDLE h, DCB* dcb)
{
    auto l = fk::verrou();
    fk::note("GetCommState(%s, length %u)", fk::nom(h).c_str(), dcb->DCBlength);
    if (!fk::valide(h) || fk::echoue("GetCommState"))
        return FALSE;
    dcb->BaudRate = 1200;
    dcb->ByteSize = 7;
    dcb->Parity = 2;
    dcb->StopBits = 0;
    return TRUE;
}

BOOL BuildCommDCBA(LPCSTR mode, DCB* dcb)
{
    auto l = fk::verrou();
    fk::note("BuildCommDCBA(%s, baud before %u)", mode, dcb->BaudRate);
    unsigned baud, data, stop;
    char parite;
    if (std::sscanf(mode, "baud=%u parity=%c data=%u stop=%u", &baud, &parite, &data, &stop) != 4) {
        e.dernierreur = 87;  // ERROR_INVALID_PARAMETER
        return FALSE;
    }
    dcb->BaudRate = baud;
    dcb->ByteSize = static_cast<BYTE>(data);
    dcb->Parity = parite == 'n' ? 0 : parite == 'o' ? 1 : 2;
    dcb->StopBits = stop == 2 ? 2 : 0;
    return TRUE;
}

BOOL SetCommState(HANDLE h, DCB* dcb)
{
    auto l = fk::verrou();
    fk::note("SetCommState(%s, baud %u, parity %u, data %u, stop %u)", fk::nom(h).c_str(),
             dcb->BaudRate, dcb->Parity, dcb->ByteSize, dcb->StopBits);
    return fk::valide(h) && !fk::echoue("SetCommState");
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* t)
{
    auto l = fk::verrou();
    fk::note("SetCommTimeouts(%s, %u, %u, %u, %u, %u)", fk::nom(h).c_str(), t->ReadIntervalTimeout,
             t->ReadTotalTimeoutMultiplier, t->ReadTotalTimeoutConstant,
             t->WriteTotalTimeoutMultiplier, t->WriteTotalTimeoutConstant);
    return fk::valide(h) && !fk::echoue("SetCommTimeouts");
}

BOOL ClearCommError(HANDLE h, DWORD* erreurs, COMSTAT* statut)
{
    auto l = fk::verrou();
    fk::note("ClearCommError(%s)", fk::nom(h).c_str());
    if (!fk::valide(h) || fk::mort || fk::echoue("ClearCommError"))
        return FALSE;
    *erreurs = e.erreurs;
    e.erreurs = 0;
    std::memset(statut, 0, sizeof *statut);
    statut->cbInQue = static_cast<DWORD>(e.file.size()) + e.surplus;
    return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID tampon, DWORD alire, DWORD* lus, OVERLAPPED*)
{
    auto l = fk::verrou();
    fk::note("ReadFile(%s, %u)", fk::nom(h).c_str(), alire);
    *lus = 0;
    if (!fk::valide(h) || fk::mort || fk::echoue("ReadFile"))
        return FALSE;
    auto* octets = static_cast<BYTE*>(tampon);
    while (*lus < alire && !e.file.empty()) {
        octets[(*lus)++] = e.file.front();
        e.file.pop_front();
    }
    return TRUE;
}

DWORD GetLastError()
{
    auto l = fk::verrou();
    return e.dernierreur;
}

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaut, char* buffer,
                               DWORD size, LPCSTR file)
{
    auto l = fk::verrou();
    fk::note("GetPrivateProfileStringA(%s, %s, %s)", section, key, file);
    std::string valeur = defaut ? defaut : "";
    auto f = e.ini.find(file);
    if (f == e.ini.end()) {
        e.dernierreur = 2;
    } else if (auto v = f->second.find(std::string(section) + "/" + key); v != f->second.end()) {
        valeur = v->second;
    }
    // Cut to fit, as the real one does.
    const std::size_t n = std::min<std::size_t>(valeur.size(), size - 1);
    std::memcpy(buffer, valeur.data(), n);
    buffer[n] = '\0';
    return static_cast<DWORD>(n);
}

DWORD GetTickCount()
{
    auto l = fk::verrou();
    DWORD t = e.ticks;
    e.ticks += e.pas;
    return t;
}
