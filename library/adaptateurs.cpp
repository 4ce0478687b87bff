// The same channels for hosts that call in stdcall, in single precision, or
// with every argument a double in either stack order. Each adapter converts,
// calls one base function and converts back; none has behaviour of its own.
#include "library/canaux.h"
#include "library/fpu.h"

namespace {

// Through memory, so the host gets a true double (or float) even when its
// control word keeps 64-bit precision in the registers.
double vraidouble(double x)
{
    volatile double v = x;
    return v;
}

float vraifloat(double x)
{
    volatile float v = static_cast<float>(x);
    return v;
}

}  // namespace

extern "C" {

// stdcall, the base functions' own argument types.

PONDIX_STDCALL std::int32_t stdea(std::int32_t canal)
{
    return ea(canal);
}

PONDIX_STDCALL const char* stdnea(std::int32_t canal)
{
    return nea(canal);
}

PONDIX_STDCALL double stdead(std::int32_t canal)
{
    return vraidouble(ead(canal));
}

PONDIX_STDCALL const char* stdnead(std::int32_t canal)
{
    return nead(canal);
}

PONDIX_STDCALL std::int32_t stdsa(std::int32_t canal, std::int32_t valeur)
{
    return sa(canal, valeur);
}

PONDIX_STDCALL const char* stdnsa()
{
    return nsa();
}

PONDIX_STDCALL double stdsad(std::int32_t canal, bitsdouble valeur)
{
    return vraidouble(sad(canal, valeur));
}

PONDIX_STDCALL const char* stdnsad(std::int32_t canal)
{
    return nsad(canal);
}

PONDIX_STDCALL std::int32_t stdeb(std::int32_t canal)
{
    return eb(canal);
}

PONDIX_STDCALL const char* stdneb(std::int32_t canal)
{
    return neb(canal);
}

PONDIX_STDCALL std::int32_t stdsb(std::int32_t canal, std::int32_t valeur)
{
    return sb(canal, valeur);
}

PONDIX_STDCALL const char* stdnsb(std::int32_t canal)
{
    return nsb(canal);
}

PONDIX_STDCALL double stdrsad(std::int32_t canal)
{
    return vraidouble(rsad(canal));
}

PONDIX_STDCALL std::int32_t stdrsb(std::int32_t canal)
{
    return rsb(canal);
}

PONDIX_STDCALL const char* stdtitre()
{
    return titre();
}

PONDIX_STDCALL const char* stddetail()
{
    return detail();
}

// stdcall in single precision.

PONDIX_STDCALL float stdeas(std::int32_t canal)
{
    return vraifloat(ead(canal));
}

PONDIX_STDCALL float stdsas(std::int32_t canal, bitsfloat valeur)
{
    return vraifloat(sad(canal, elargit(valeur)));
}

PONDIX_STDCALL float stdrsas(std::int32_t canal)
{
    return vraifloat(rsad(canal));
}

// Double and float arguments arrive as bits (see fpu.h).

// Every argument a double, left to right: parameters are listed last to
// first, so the channel sits at the highest address.

PONDIX_GAUCHEDROITE double eadouble(bitsdouble canal)
{
    return vraidouble(ead(entier32(canal)));
}

PONDIX_GAUCHEDROITE const char* neadouble(bitsdouble canal)
{
    return nead(entier32(canal));
}

PONDIX_GAUCHEDROITE double sadouble(bitsdouble valeur, bitsdouble canal)
{
    return vraidouble(sad(entier32(canal), valeur));
}

PONDIX_GAUCHEDROITE const char* nsadouble(bitsdouble canal)
{
    return nsad(entier32(canal));
}

PONDIX_GAUCHEDROITE double rsadouble(bitsdouble canal)
{
    return vraidouble(rsad(entier32(canal)));
}

PONDIX_GAUCHEDROITE double ebdouble(bitsdouble canal)
{
    return eb(entier32(canal));
}

PONDIX_GAUCHEDROITE const char* nebdouble(bitsdouble canal)
{
    return neb(entier32(canal));
}

PONDIX_GAUCHEDROITE double sbdouble(bitsdouble valeur, bitsdouble canal)
{
    const std::int32_t c = entier32(canal);
    return sb(c, entier32(valeur));
}

PONDIX_GAUCHEDROITE const char* nsbdouble(bitsdouble canal)
{
    return nsb(entier32(canal));
}

PONDIX_GAUCHEDROITE double rsbdouble(bitsdouble canal)
{
    return rsb(entier32(canal));
}

// Every argument a double, stdcall: the channel at the lowest address. With
// one argument both orders are the same layout, so pondix.def exports the
// left-to-right functions under the stdcall names too; only the two-argument
// adapters need bodies of their own.

PONDIX_STDCALL double stdsadouble(bitsdouble canal, bitsdouble valeur)
{
    return sadouble(valeur, canal);
}

PONDIX_STDCALL double stdsbdouble(bitsdouble canal, bitsdouble valeur)
{
    return sbdouble(valeur, canal);
}

}  // extern "C"
