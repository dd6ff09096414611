// Variable sets and parent-set indexes.
//
// A varset is a set of variables as a 32-bit mask (bit i for variable i).
// A parset is a parent set of child i with bit i squeezed out: bits below i
// keep their places, bits above i move down one place.
#pragma once
#include <cstdint>

typedef uint32_t varset;
typedef uint32_t parset;

// Parset index of varset v (which must not hold i) relative to child i.
parset varset2parset(int i, varset v);

// Varset of parset index p relative to child i: inserts a zero bit at i.
varset parset2varset(int i, parset p);
