// The library's entry point: no C runtime, so this is the whole start-up.
#include "library/port.h"
#include "serial/kernel32_api.h"
#include "serial/ucommw32.h"

extern "C" BOOL WINAPI DllEntry(HINSTANCE, DWORD raison, LPVOID reserve)
{
    switch (raison) {
    case DLL_PROCESS_ATTACH:
        nomport = PONDIX_NOMPORT;
        modeport = "baud=9600 parity=n data=8 stop=1";
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
