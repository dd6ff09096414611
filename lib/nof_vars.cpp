// Parsing and checking the nof_vars argument (nof_vars.h).
#include "nof_vars.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "checked_io.h"

int parse_nof_vars(const char *arg)
{
    const char *p = arg;
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (*p == '+' || *p == '-')
        ++p;
    if (!isdigit(static_cast<unsigned char>(*p)))
        failf("nof_vars", "\"%s\" is not a decimal integer", arg);
    errno = 0;
    char *end = nullptr;
    long value = strtol(arg, &end, 10);
    if (*end != '\0')
        failf("nof_vars", "\"%s\" has text after the number", arg);
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX)
        failf("nof_vars", "%s is out of range", arg);
    return int(value);
}

void check_nof_vars(int nof_vars, below_one meaning)
{
    if (nof_vars > 32)
        failf("nof_vars", "%d is above 32 (variable sets are 32-bit)", nof_vars);
    if (nof_vars < 0 && meaning == below_one::zero_only)
        failf("nof_vars", "%d is negative", nof_vars);
}
