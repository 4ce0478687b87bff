// GCC emits calls to these even in freestanding code; without a C runtime
// the library supplies them. The attribute stops GCC from turning the loops
// back into calls to themselves.
#include <cstddef>

extern "C" {

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memcpy(
    void* destination, const void* source, std::size_t n)
{
    auto* d = static_cast<unsigned char*>(destination);
    auto* s = static_cast<const unsigned char*>(source);
    while (n--)
        *d++ = *s++;
    return destination;
}

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memset(void* destination,
                                                                            int valeur,
                                                                            std::size_t n)
{
    auto* d = static_cast<unsigned char*>(destination);
    while (n--)
        *d++ = static_cast<unsigned char>(valeur);
    return destination;
}

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memmove(
    void* destination, const void* source, std::size_t n)
{
    auto* d = static_cast<unsigned char*>(destination);
    auto* s = static_cast<const unsigned char*>(source);
    if (d < s) {
        while (n--)
            *d++ = *s++;
    } else {
        while (n--)
            d[n] = s[n];
    }
    return destination;
}

}  // extern "C"
