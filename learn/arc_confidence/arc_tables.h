// Reading and writing the tables of the arc-confidence tools: variable
// names from a variable-description file, network files, and CSV fields.
//
// Failures go through fail() of the suite library: one line
// "<program>: <file>: <reason>" and exit status 2.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The names of the variables, one per line of the variable-description
// file: the first tab-separated field (leading tabs skipped, a carriage
// return before the line feed dropped), with the escapes \t \n \r \\ of
// the data scorer undone.  A line without a name gets its index.
std::vector<std::string> read_names(const char *vdfile);

// A network file of nof_vars lines, one parent varset each; checked to be
// a network over nof_vars variables: no value above the variable range, no
// variable its own parent, no cycle, nothing after the last line.
std::vector<uint32_t> read_network(const char *netfile, int nof_vars);

// A CSV field as RFC 4180 wants it: quoted, with doubled quotes, when it
// holds a comma, a quote, a carriage return or a line feed.
std::string csv_field(const std::string &s);

// An output written to a temporary name and renamed when complete, so that
// a failure never leaves a half-written file looking finished.
struct csv_output {
    std::string path;
    FILE *file;
};
csv_output open_output(const std::string &path);
void put_line(csv_output &out, const std::string &line);
void close_output(csv_output &out);

// The number as printf's "%.17g" writes it (enough to read back the same
// double).
std::string exact_number(double x);
