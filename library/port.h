// The one build parameter: the port digit, PONDIX_COM (5 or 1).
#pragma once

#ifndef PONDIX_COM
#error "PONDIX_COM must name the port digit"
#endif

#define PONDIX_CHIFFRE_(x) #x
#define PONDIX_CHIFFRE(x) PONDIX_CHIFFRE_(x)

#define PONDIX_NOMPORT "Com" PONDIX_CHIFFRE(PONDIX_COM) ":"
#define PONDIX_TITRE "balance Adam, com" PONDIX_CHIFFRE(PONDIX_COM) ":"
// Windows-1252: 0xE9 is the e acute of the month.
#define PONDIX_DETAIL                                                  \
    "DLL pour balance Adam en com" PONDIX_CHIFFRE(PONDIX_COM) ":, par " \
    "Orvandel, le 14 f\xE9" "vrier 2007"
