// The nof_vars argument of the search, preparation and scoring programs.
#pragma once

// The whole argument must be a decimal integer (leading white space and a
// sign allowed) of 32 bits; anything else fails with
// "nof_vars: <reason>".
int parse_nof_vars(const char *arg);

// What a count below 1 means to a program.
enum class below_one {
    nothing_to_do,   // 0 or less: the program has no variables to handle
    zero_only,       // 0 is no variables, a negative count fails
};
// Fails on a count above 32 (the varsets are 32-bit) and, with zero_only,
// on a negative one.
void check_nof_vars(int nof_vars, below_one meaning);
