// The library's entry point: no C runtime, so this is the whole start-up.
#include "library/port.h"
#include "serial/kernel32_api.h"
#include "serial/reglages.h"
#include "serial/ucommw32.h"

namespace {

// The build's port and mode, unless the ini file beside the DLL names others.
void reglageport(HINSTANCE module)
{
    nomport = PONDIX_NOMPORT;
    modeport = "baud=9600 parity=n data=8 stop=1";
    char chemin[MAX_PATH + 1];
    char ini[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameA(module, chemin, sizeof chemin);
    // A truncated path would name another file.
    if (n == 0 || n >= sizeof chemin)
        return;
    if (cheminini(chemin, ini, sizeof ini))
        litreglages(ini);
}

}  // namespace

extern "C" BOOL WINAPI DllEntry(HINSTANCE module, DWORD raison, LPVOID reserve)
{
    switch (raison) {
    case DLL_PROCESS_ATTACH:
        reglageport(module);
        ouvrecom();
        break;
    case DLL_PROCESS_DETACH:
        // FreeLibrary: give the port back so the host can load us again.
        // At process exit (reserve non-null) the system reclaims it.
        if (reserve == nullptr)
            fermecom();
        break;
    default:
        break;
    }
    // Loading succeeds with or without a port; the mass channels say -777.
    return TRUE;
}
