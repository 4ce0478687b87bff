#pragma once

#include <cstdint>

// OLE Automation date: days since 30 December 1899 plus the fraction of the
// day, the fraction rounded to a double before the sum.
double dateole(unsigned annee, unsigned mois, unsigned jour, unsigned heure, unsigned minute,
               unsigned seconde, unsigned milliseconde);
