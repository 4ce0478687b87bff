// Built with SSE2 arithmetic so that the result does not depend on the
// host's x87 precision.
#include "library/dateole.h"

namespace {

// Days from 1 January 1970 in the proleptic Gregorian calendar.
std::int32_t joursdepuis1970(std::int32_t a, unsigned m, unsigned j)
{
    a -= m <= 2;
    const std::int32_t ere = (a >= 0 ? a : a - 399) / 400;
    const unsigned annee = static_cast<unsigned>(a - ere * 400);
    const unsigned jouran = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + j - 1;
    const unsigned jourere = annee * 365 + annee / 4 - annee / 100 + jouran;
    return ere * 146097 + static_cast<std::int32_t>(jourere) - 719468;
}

constexpr std::int32_t jours1899a1970 = 25569;
constexpr double msparjour = 86400000.0;

}  // namespace

double dateole(unsigned annee, unsigned mois, unsigned jour, unsigned heure, unsigned minute,
               unsigned seconde, unsigned milliseconde)
{
    const std::int32_t jours =
        joursdepuis1970(static_cast<std::int32_t>(annee), mois, jour) + jours1899a1970;
    const std::uint32_t ms = heure * 3600000u + minute * 60000u + seconde * 1000u + milliseconde;
    const double fraction = ms / msparjour;
    return jours + fraction;
}
