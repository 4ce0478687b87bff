// x87 conversions made in the caller's rounding mode and precision. The
// library never loads a control word of its own.
#pragma once

#include <cstdint>
#include <cstring>

// FISTP to 64 bits: the FPU's own double-to-integer conversion.
inline std::int64_t entierfpu(long double x)
{
    std::int64_t r;
    asm volatile("fistpll %0" : "=m"(r) : "t"(x) : "st");
    return r;
}

inline long double arrondifpu(long double x)
{
    asm("frndint" : "+t"(x));
    return x;
}

// grams × 1000 formed in the caller's precision, rounded in its mode, and
// clamped to 32 bits before any conversion that could trap or wrap.
inline std::int32_t milligrammes(double grammes)
{
    long double entier = arrondifpu(grammes * 1000.0L);
    if (entier >= 2147483648.0L)
        return INT32_MAX;
    if (entier < -2147483648.0L)
        return INT32_MIN;
    return static_cast<std::int32_t>(entierfpu(entier));
}

// A double argument as the host pushed it: its bits, untouched by the FPU,
// which would trap on a signalling NaN or a denormal if the host unmasked
// those exceptions. Same stack slot as a double.
using bitsdouble = std::uint64_t;
using bitsfloat = std::uint32_t;

inline double endouble(bitsdouble bits)
{
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// A float's bits widened to a double's, exactly, without the FPU.
inline bitsdouble elargit(bitsfloat f)
{
    const bitsdouble signe = static_cast<bitsdouble>(f >> 31) << 63;
    std::uint32_t exposant = (f >> 23) & 0xFF;
    bitsdouble mantisse = f & 0x7FFFFF;
    if (exposant == 0xFF)
        return signe | (bitsdouble{0x7FF} << 52) | (mantisse << 29);
    if (exposant == 0) {
        if (mantisse == 0)
            return signe;
        // Denormal float: normal as a double once shifted up.
        exposant = 1;
        while (!(mantisse & 0x800000)) {
            mantisse <<= 1;
            --exposant;
        }
        mantisse &= 0x7FFFFF;
    }
    const bitsdouble e = static_cast<bitsdouble>(static_cast<std::int32_t>(exposant) - 127 + 1023);
    return signe | (e << 52) | (mantisse << 29);
}

// A double argument as a 32-bit integer: the low half of the 64-bit
// conversion in the current mode. Operands the FPU would trap on are sorted
// out by their bits first.
inline std::int32_t entier32(bitsdouble bits)
{
    const unsigned exposant = static_cast<unsigned>(bits >> 52) & 0x7FF;
    const bool negatif = bits >> 63;
    // NaN, infinities and |x| >= 2^63: the masked result is the integer
    // indefinite, whose low half is 0.
    if (exposant >= 1023 + 63)
        return 0;
    if (exposant == 0 && (bits << 1) != 0) {
        // Denormal: only rounding away from zero in its direction gives ±1.
        std::uint16_t mot;
        asm volatile("fnstcw %0" : "=m"(mot));
        const unsigned mode = (mot >> 10) & 3;
        if (!negatif && mode == 2)
            return 1;
        if (negatif && mode == 1)
            return -1;
        return 0;
    }
    return static_cast<std::int32_t>(entierfpu(endouble(bits)));
}
