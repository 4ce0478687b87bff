// Calling conventions of the exports, spelled out at each definition.
#pragma once

// The host's register convention: first three integer or address arguments
// in EAX, EDX, ECX; doubles on the stack, removed by the callee; integer
// results in EAX, floating-point results in ST(0).
#define PONDIX_REGISTRE __attribute__((regparm(3), stdcall))

// The register convention for (integer, double) when the double is taken as
// its raw bits: a 64-bit integer would travel in EDX:ECX under regparm(3), so
// only EAX carries an argument and the 8 bytes stay on the stack.
#define PONDIX_REGISTRE_ENTIER_BITS __attribute__((regparm(1), stdcall))

// stdcall: arguments pushed last to first, removed by the callee.
#define PONDIX_STDCALL __attribute__((stdcall))

// Left to right: stdcall with the parameter list written in reverse, so the
// first argument sits at the highest address.
#define PONDIX_GAUCHEDROITE __attribute__((stdcall))
