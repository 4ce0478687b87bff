#include "serial/reglages.h"

#include "serial/kernel32_api.h"
#include "serial/ucommw32.h"

namespace {

// Long enough for any COM name and any mode string BuildCommDCBA takes.
char nomlu[80];
char modelu[160];

constexpr char prefixe[] = "\\\\.\\";

bool commencepar(const char* t, const char* debut)
{
    for (; *debut; ++t, ++debut)
        if (*t != *debut)
            return false;
    return true;
}

}  // namespace

bool cheminini(const char* module, char* ini, std::size_t taille)
{
    std::size_t n = 0;
    std::size_t point = 0;  // where the extension starts, 0 if none
    for (; module[n]; ++n) {
        if (module[n] == '.')
            point = n;
        else if (module[n] == '\\' || module[n] == '/')
            point = 0;
    }
    if (point == 0)
        point = n;
    if (point + sizeof ".ini" > taille)
        return false;
    for (std::size_t i = 0; i < point; ++i)
        ini[i] = module[i];
    const char extension[] = ".ini";
    for (std::size_t i = 0; i < sizeof extension; ++i)
        ini[point + i] = extension[i];
    return true;
}

bool litreglages(const char* ini)
{
    bool trouve = false;
    char lu[sizeof nomlu];
    const DWORD n = GetPrivateProfileStringA("port", "name", "", lu, sizeof lu - 4, ini);
    if (n > 0) {
        // "COM7:" is how the build names its port; the device path has no colon.
        DWORD fin = n;
        if (lu[fin - 1] == ':')
            --fin;
        std::size_t k = 0;
        if (!commencepar(lu, prefixe))
            for (const char* p = prefixe; *p; ++p)
                nomlu[k++] = *p;
        for (DWORD i = 0; i < fin; ++i)
            nomlu[k++] = lu[i];
        nomlu[k] = '\0';
        nomport = nomlu;
        trouve = true;
    }
    if (GetPrivateProfileStringA("port", "mode", "", modelu, sizeof modelu, ini) > 0) {
        modeport = modelu;
        trouve = true;
    }
    return trouve;
}
