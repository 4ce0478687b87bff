#include "fake_kernel32.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "serial/kernel32_api.h"

namespace fakekernel32 {

namespace {
Etat e;
int poignee;  // the one handle handed out
bool ouvert;

HANDLE lapoignee()
{
    return &poignee;
}

bool valide(HANDLE h)
{
    return ouvert && h == lapoignee();
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

const char* nom(HANDLE h)
{
    if (h == INVALID_HANDLE_VALUE)
        return "INVALID";
    return h == lapoignee() ? "port" : "other";
}
}  // namespace

Etat& etat()
{
    return e;
}

void reinitialise()
{
    e = Etat{};
    ouvert = false;
}

void recoit(const std::string& octets)
{
    for (char c : octets)
        e.file.push_back(static_cast<std::uint8_t>(c));
}

}  // namespace fakekernel32

using fakekernel32::e;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD attributes, HANDLE templatefile)
{
    fakekernel32::note("CreateFileA(%s, 0x%x, %u, %s, %u, 0x%x, %s)", name, access, share,
                       security ? "sa" : "null", disposition, attributes,
                       templatefile ? "tpl" : "null");
    if (!e.peripherique || fakekernel32::ouvert)
        return INVALID_HANDLE_VALUE;
    fakekernel32::ouvert = true;
    return fakekernel32::lapoignee();
}

BOOL CloseHandle(HANDLE h)
{
    fakekernel32::note("CloseHandle(%s)", fakekernel32::nom(h));
    if (!fakekernel32::valide(h))
        return FALSE;
    fakekernel32::ouvert = false;
    return TRUE;
}

BOOL SetupComm(HANDLE h, DWORD in, DWORD out)
{
    fakekernel32::note("SetupComm(%s, %u, %u)", fakekernel32::nom(h), in, out);
    return fakekernel32::valide(h);
}

BOOL GetCommState(HANDLE h, DCB* dcb)
{
    fakekernel32::note("GetCommState(%s, length %u)", fakekernel32::nom(h), dcb->DCBlength);
    if (!fakekernel32::valide(h))
        return FALSE;
    dcb->BaudRate = 1200;
    dcb->ByteSize = 7;
    dcb->Parity = 2;
    dcb->StopBits = 0;
    return TRUE;
}

BOOL BuildCommDCBA(LPCSTR mode, DCB* dcb)
{
    fakekernel32::note("BuildCommDCBA(%s, baud before %u)", mode, dcb->BaudRate);
    unsigned baud, data, stop;
    char parite;
    if (std::sscanf(mode, "baud=%u parity=%c data=%u stop=%u", &baud, &parite, &data, &stop) != 4)
        return FALSE;
    dcb->BaudRate = baud;
    dcb->ByteSize = static_cast<BYTE>(data);
    dcb->Parity = parite == 'n' ? 0 : parite == 'o' ? 1 : 2;
    dcb->StopBits = stop == 2 ? 2 : 0;
    return TRUE;
}

BOOL SetCommState(HANDLE h, DCB* dcb)
{
    fakekernel32::note("SetCommState(%s, baud %u, parity %u, data %u, stop %u)",
                       fakekernel32::nom(h), dcb->BaudRate, dcb->Parity, dcb->ByteSize,
                       dcb->StopBits);
    return fakekernel32::valide(h);
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* t)
{
    fakekernel32::note("SetCommTimeouts(%s, %u, %u, %u, %u, %u)", fakekernel32::nom(h),
                       t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier,
                       t->ReadTotalTimeoutConstant, t->WriteTotalTimeoutMultiplier,
                       t->WriteTotalTimeoutConstant);
    return fakekernel32::valide(h);
}

BOOL ClearCommError(HANDLE h, DWORD* erreurs, COMSTAT* statut)
{
    fakekernel32::note("ClearCommError(%s)", fakekernel32::nom(h));
    if (!fakekernel32::valide(h) || !e.requeteok)
        return FALSE;
    *erreurs = e.erreurs;
    e.erreurs = 0;
    std::memset(statut, 0, sizeof *statut);
    statut->cbInQue = static_cast<DWORD>(e.file.size()) + e.surplus;
    return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID tampon, DWORD alire, DWORD* lus, OVERLAPPED*)
{
    fakekernel32::note("ReadFile(%s, %u)", fakekernel32::nom(h), alire);
    *lus = 0;
    if (!fakekernel32::valide(h))
        return FALSE;
    auto* octets = static_cast<BYTE*>(tampon);
    while (*lus < alire && !e.file.empty()) {
        octets[(*lus)++] = e.file.front();
        e.file.pop_front();
    }
    return TRUE;
}

DWORD GetTickCount()
{
    DWORD t = e.ticks;
    e.ticks += e.pas;
    return t;
}
