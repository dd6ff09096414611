// Delimited text as the scorer reads it (data sets and arc lists): records of
// fields with RFC 4180 quoting and the choice of the delimiter.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

struct field {
    std::string text;
    size_t line;    // line on which the field starts
    bool quoted;    // the field was written in quotes
};

// Fails with "line L, column C (what): reason"; column 0 and an empty what
// are left out.
[[noreturn]] void fail_at(const char *name, size_t line, size_t column, const std::string &what,
                          const std::string &reason);

// Reads the next record (quoted fields with "" escapes and line breaks inside
// quotes; CRLF or LF line ends; the last line may lack one) into fields.
// Returns false at the end of the text.  line is the current line number.
bool next_record(const std::string &text, size_t &pos, size_t &line, char delim,
                 std::vector<field> &fields, const char *name);

// Whether a record is an empty line.
bool blank_record(const std::vector<field> &fields);

// Comma, tab or semicolon, read from the records that start at pos (the
// first 50 that are not blank, quotes respected): the one that gives every
// record the header's number of fields, more than one, with every quote at
// the start or end of a field; of several, the one
// giving the most fields (comma first, then tab, on equal counts).  When none
// is consistent, the one giving the header the most fields; comma when none
// splits the header.
char detect_delimiter(const std::string &text, size_t pos);

// s without leading and trailing blanks, tabs and carriage returns.
std::string trim(const std::string &s);
