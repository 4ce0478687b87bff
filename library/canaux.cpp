#include "library/canaux.h"

#include "library/dateole.h"
#include "library/fpu.h"
#include "library/port.h"
#include "reading/lecture.h"
#include "serial/kernel32_api.h"

namespace {

constexpr std::int32_t nonservi = -777;
constexpr double nonservid = -777.0;

double resultatpead;
double resultatpsad;

double maintenant()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    return dateole(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

}  // namespace

extern "C" {

PONDIX_REGISTRE std::int32_t ea(std::int32_t canal)
{
    if (canal != 0)
        return nonservi;
    lecture();
    double g;
    if (!masse(g))
        return nonservi;
    return milligrammes(g);
}

PONDIX_REGISTRE const char* nea(std::int32_t canal)
{
    return canal == 0 ? "masse mg" : "";
}

PONDIX_REGISTRE double ead(std::int32_t canal)
{
    switch (canal) {
    case 0: {
        lecture();
        double g;
        return masse(g) ? g : nonservid;
    }
    case 1: {
        lecture();
        double g;
        if (!masse(g))
            return nonservid;
        // Stored so the host gets a true double, whatever its precision.
        volatile double mg = g * 1000.0;
        return mg;
    }
    case 2:
        return maintenant();
    default:
        return nonservid;
    }
}

PONDIX_REGISTRE const char* nead(std::int32_t canal)
{
    switch (canal) {
    case 0:
        return "masse g";
    case 1:
        return "masse mg";
    case 2:
        return "date-heure";
    default:
        return "";
    }
}

PONDIX_REGISTRE std::int32_t sa(std::int32_t, std::int32_t)
{
    return nonservi;
}

PONDIX_REGISTRE const char* nsa()
{
    return "";
}

// The value is a double on the stack; its bits are enough to ignore it.
PONDIX_REGISTRE_ENTIER_BITS double sad(std::int32_t, bitsdouble)
{
    return nonservid;
}

PONDIX_REGISTRE const char* nsad(std::int32_t)
{
    return "";
}

PONDIX_REGISTRE std::int32_t rsa(std::int32_t)
{
    return nonservi;
}

PONDIX_REGISTRE double rsad(std::int32_t)
{
    return nonservid;
}

PONDIX_REGISTRE std::int32_t eb(std::int32_t)
{
    return nonservi;
}

PONDIX_REGISTRE const char* neb(std::int32_t)
{
    return "";
}

PONDIX_REGISTRE std::int32_t sb(std::int32_t, std::int32_t)
{
    return nonservi;
}

PONDIX_REGISTRE const char* nsb(std::int32_t)
{
    return "";
}

PONDIX_REGISTRE std::int32_t rsb(std::int32_t)
{
    return nonservi;
}

PONDIX_REGISTRE const char* titre()
{
    return PONDIX_TITRE;
}

PONDIX_REGISTRE const char* detail()
{
    return PONDIX_DETAIL;
}

PONDIX_REGISTRE double* pead(std::int32_t canal)
{
    resultatpead = ead(canal);
    return &resultatpead;
}

PONDIX_REGISTRE double* psad(std::int32_t canal, const double* valeur)
{
    // Read as bits: loading a signalling NaN into the FPU could trap.
    bitsdouble v = 0;
    if (valeur != nullptr)
        v = *reinterpret_cast<const volatile bitsdouble*>(valeur);
    resultatpsad = sad(canal, v);
    return &resultatpsad;
}

}  // extern "C"
