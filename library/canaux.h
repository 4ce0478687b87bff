// The base channel functions, all in the host's register convention.
#pragma once

#include <cstdint>

#include "library/convention.h"
#include "library/fpu.h"

extern "C" {
PONDIX_REGISTRE std::int32_t ea(std::int32_t canal);
PONDIX_REGISTRE const char* nea(std::int32_t canal);
PONDIX_REGISTRE double ead(std::int32_t canal);
PONDIX_REGISTRE const char* nead(std::int32_t canal);
PONDIX_REGISTRE std::int32_t sa(std::int32_t canal, std::int32_t valeur);
PONDIX_REGISTRE const char* nsa();
PONDIX_REGISTRE_ENTIER_BITS double sad(std::int32_t canal, bitsdouble valeur);
PONDIX_REGISTRE const char* nsad(std::int32_t canal);
PONDIX_REGISTRE std::int32_t rsa(std::int32_t canal);
PONDIX_REGISTRE double rsad(std::int32_t canal);
PONDIX_REGISTRE std::int32_t eb(std::int32_t canal);
PONDIX_REGISTRE const char* neb(std::int32_t canal);
PONDIX_REGISTRE std::int32_t sb(std::int32_t canal, std::int32_t valeur);
PONDIX_REGISTRE const char* nsb(std::int32_t canal);
PONDIX_REGISTRE std::int32_t rsb(std::int32_t canal);
PONDIX_REGISTRE const char* titre();
PONDIX_REGISTRE const char* detail();
PONDIX_REGISTRE double* pead(std::int32_t canal);
PONDIX_REGISTRE double* psad(std::int32_t canal, const double* valeur);
}
