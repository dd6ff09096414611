// The one reader of network files (network_file.h).
#include "network_file.h"

#include <cctype>
#include <cerrno>
#include <string>

#include "checked_io.h"

namespace {

struct reader {
    FILE *f;
    const char *name;
    long line;          // line of the next byte, from 1
    bool line_has_value;   // the current (last) line starts with a value
    bool line_blank;       // nothing but white space on the current line yet
};

int next(reader *r)
{
    errno = 0;
    int c = getc(r->f);
    if (c == EOF && ferror(r->f))
        fail_errno(r->name);
    return c;
}

[[noreturn]] void fail_at(const char *name, long line, const std::string &reason)
{
    std::string text = "line " + std::to_string(line) + ": " + reason;
    fail(name, text.c_str());
}

// Notes a byte for the line count: whether the current line starts with a
// value (a digit, or a sign followed by a digit).
void count(reader *r, int c, int following)
{
    if (c == '\n') {
        ++r->line;
        r->line_blank = true;
        r->line_has_value = false;
    } else if (r->line_blank && !isspace(c)) {
        r->line_blank = false;
        r->line_has_value = isdigit(c) || ((c == '+' || c == '-') && isdigit(following));
    }
}

} // namespace

void read_network(FILE *f, const char *name, network *net, size_t max_vars)
{
    reader r{f, name, 1, false, true};
    net->parents.clear();
    net->lines.clear();
    bool reading = true;   // still taking values
    int c = next(&r);
    while (c != EOF) {
        if (isspace(c)) {
            count(&r, c, EOF);
            c = next(&r);
            continue;
        }
        int sign = 0;
        if (c == '+' || c == '-') {
            sign = c;
            int d = next(&r);
            count(&r, c, d);
            c = d;
            if (!isdigit(c))
                reading = false;
        } else if (!isdigit(c)) {
            count(&r, c, EOF);
            reading = false;
        }
        if (!reading) {
            // After the values: only the lines are counted.
            while (c != EOF) {
                int d = next(&r);
                count(&r, c, d);
                c = d;
            }
            break;
        }
        if (sign == 0)
            count(&r, c, EOF);
        const long line = r.line;
        uint64_t value = 0;
        std::string digits;
        while (c != EOF && isdigit(c)) {
            if (value <= UINT32_MAX)
                value = value * 10 + uint64_t(c - '0');
            if (digits.size() < 24)
                digits += char(c);
            c = next(&r);
        }
        if (value > UINT32_MAX || (sign == '-' && value != 0))
            fail_at(name, line, std::string("value ") + (sign == '-' ? "-" : "") + digits +
                                    (digits.size() == 24 ? "..." : "") + " does not fit 32 bits");
        if (net->parents.size() == max_vars)
            fail_at(name, line, "more than " + std::to_string(max_vars) + " variables");
        net->parents.push_back(uint32_t(value));
        net->lines.push_back(line);
        // A number ends at its first non-digit; what follows is the next token.
    }
    net->nof_lines = int(r.line - 1) + (r.line_has_value ? 1 : 0);

    const size_t n = net->parents.size();
    for (size_t k = 0; k < n; ++k) {
        const uint32_t beyond = n >= 32 ? 0 : net->parents[k] >> n;
        if (beyond != 0) {
            const int bit = 31 - __builtin_clz(net->parents[k]);
            fail_at(name, net->lines[k],
                    "variable " + std::to_string(k) + " has parent " + std::to_string(bit) +
                        ", but the network has only " + std::to_string(n) + " variables");
        }
    }
}

void refuse_self_parents(const network *net, const char *name)
{
    for (size_t k = 0; k < net->parents.size(); ++k)
        if (net->parents[k] & (uint32_t(1) << k))
            fail_at(name, net->lines[k],
                    "variable " + std::to_string(k) + " has itself in its parent set " +
                        std::to_string(net->parents[k]));
}
