// Built with SSE2 arithmetic: fast_float's fast path multiplies in floating
// point, and under the host's x87 precision that would not round correctly.
#include <fast_float/fast_float.h>

#include "reading/lecture.h"

bool convertit(const char* texte, std::size_t longueur, double& valeur)
{
    const char* fin = texte + longueur;
    const bool negatif = longueur > 0 && texte[0] == '-';
    const char* corps = negatif ? texte + 1 : texte;
    // A bare point is zero; fast_float refuses it.
    if (fin - corps == 1 && *corps == '.') {
        valeur = negatif ? -0.0 : 0.0;
        return true;
    }
    auto r = fast_float::from_chars(texte, fin, valeur);
    return r.ec == std::errc() && r.ptr == fin;
}
