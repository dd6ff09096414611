// Conversions between varsets and parent-set indexes (varpar.h).
#include "varpar.h"

parset varset2parset(int i, varset v)
{
    const uint32_t low = (uint32_t(1) << i) - 1;
    return ((v & ~low) >> 1) | (v & low);
}

varset parset2varset(int i, parset p)
{
    const uint32_t low = (uint32_t(1) << i) - 1;
    return ((p & ~low) << 1) | (p & low);
}
