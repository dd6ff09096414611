// The variable-description file: line k describes variable k, its label
// being the first field (up to the first tab, carriage return or line feed,
// after any of those at the start of the line; spaces belong to the label).
// The one reader of the format.
#pragma once
#include <cstddef>
#include <cstdio>

// A line is read in pieces of at most description_piece - 1 bytes; a longer
// line gives one label per piece, each taking the next variable index.
constexpr size_t description_piece = 1024;

// Reads the next line piece of f into buf (description_piece bytes) and
// returns its label, "" for a line without one; nullptr at the end of the
// input.  A read error fails naming the file.
const char *read_description_label(FILE *f, char *buf, const char *name);
