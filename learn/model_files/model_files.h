// Files shared by the programs that turn a learned structure into a model:
// the variable-description file, the network file, the parameter file and
// the arc-type file, plus the command-line conventions of the programs in
// learn/.
//
// Every failure goes through fail() of the suite library: one line
// "<program>: <file>: <reason>" and exit status 2.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace CLI {
class App;
}

struct variable {
    std::string name;
    std::vector<std::string> states;
};

// The variable-description file: one line per variable, tab-separated
// fields name, arity, labels; \t \n \r \\ inside a field stand for tab, line
// feed, carriage return and backslash.
std::vector<variable> read_vd(const char *path);
std::string escape_field(const std::string &s);
std::string unescape_field(const std::string &s);

// The network file: one parent varset per variable.  Exactly n values, each
// naming variables below n only and never the variable itself, and the
// graph acyclic; anything else fails naming the file.
std::vector<uint32_t> read_network(const char *path, int n);

// Arcs of a network in the order of the arc file: child ascending, then
// parent ascending.
struct arc {
    int from, to;
};
std::vector<arc> arcs_of(const std::vector<uint32_t> &parents);

// The arc-type file: one line "<parent> <child> <type>" per arc, type
// compelled or reversible.
struct typed_arc {
    int from, to;
    bool reversible;
};
std::vector<typed_arc> read_arc_types(const char *path);

// The parameter file (see write_parameters in fit_parameters.cpp and
// docs/model.md).
struct cpt {
    std::vector<int> parents;   // ascending
    std::vector<double> probs;  // q rows of r, the last parent varying fastest
};
struct parameters {
    std::string method;  // bayes or mle
    double ess = 1;
    uint64_t nof_rows = 0;
    std::vector<variable> vars;
    std::vector<cpt> tables;
};
parameters read_parameters(const char *path);

// A field as RFC 4180 writes it: quoted when it holds a comma, a quote, a
// carriage return or a line feed (or starts or ends with a blank), quotes
// doubled.
std::string csv_field(const std::string &s);
// The number as printf's "%.17g" writes it: enough digits to read back the
// same double.
std::string exact_number(double x);
// Splits CSV text into records of fields (RFC 4180); name is for messages.
std::vector<std::vector<std::string>> parse_csv(const std::string &text, const char *name);

// The whole of a file ("-" is standard input).
std::string read_text(const char *path);
// Writes text to path ("-" is standard output), checked; a failure removes
// the partial file.
void write_text(const char *path, const std::string &text);

// The command line of a program of learn/, through CLI11.  The start of
// its main: name is the program's name in failure messages, SIGXFSZ is
// ignored (a write beyond the file-size limit fails and is reported, see
// checked_io.h), and the parser has the description and name for its help.
CLI::App tool_command_line(const char *name, const char *description = "");
// Parses the command line with app: --help prints the help and exits 0 (2
// when standard output fails); a usage error prints "<program>: <what>"
// and the usage line to standard error and exits 1.  The help is help_text
// when given (then --help is the only spelling), else the parser's own.
void parse_command_line(CLI::App &app, int argc, char **argv, const char *usage_line,
                        const char *help_text = nullptr);
// parse_command_line for a program with a help text of its own and exactly
// nof_args arguments besides its options, which it returns; another count
// prints the usage line and exits 1.
std::vector<std::string> parse_with_arguments(CLI::App &app, int argc, char **argv,
                                              const char *usage_line, const std::string &help_text,
                                              size_t nof_args);

// Text for a double-quoted DOT string: \ and " escaped, a line feed as the
// line break \n, other control characters as blanks.
std::string dot_escape(const std::string &s);
