// The network file: line i holds the parent varset of variable i as an
// unsigned decimal number.  The one reader of the format, used by every
// program that reads networks.
//
// The reader takes white-space-separated unsigned decimal values (as "%u"
// would, an optional '+' included) and stops quietly at the end of the
// input or at the first token that does not start with a digit: the values
// before it are the network.  A value that does not fit 32 bits (a
// negative one included) and a parent bit at or above the network's
// variable count (the number of values read) fail with
// "<file>: line N: <reason>".
#pragma once
#include <cstdint>
#include <cstdio>
#include <vector>

struct network {
    std::vector<uint32_t> parents;   // parents[k]: the parent varset of variable k
    std::vector<long> lines;         // lines[k]: the line value k stands on, from 1
    // Lines of the whole file, a last line without newline counted when it
    // starts with a value (a digit, or a sign and a digit).
    int nof_lines;
};

// Reads f to its end.  More than max_vars values fail with
// "more than <max_vars> variables".
void read_network(FILE *f, const char *name, network *net, size_t max_vars);

// Fails, naming the file and the line, when variable k has itself among
// its parents.
void refuse_self_parents(const network *net, const char *name);
