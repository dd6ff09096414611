// Constraint lists: the arcs of --forbid and --require files, and the check
// that the constraints admit a network at all.
#pragma once
#include <utility>
#include <vector>

#include "data_reader.h"
#include "varpar.h"

// Reads an arc list: its arcs as (parent, child) column indexes, in the
// order of the file, for any number of columns.  The file holds one
// "parent,child" pair of column names a record, quoted as in data files (a
// tab or semicolon may replace the comma); blank lines and lines starting
// with # are skipped, and a first record "from,to" (also with a leading
// empty row-name column, as R writes a table) is a header.  An unknown name
// or an arc from a column to itself fails naming the file and the line.
std::vector<std::pair<int, int>> read_arcs(const char *path, const data_set &data);

// Reads an arc list of at most max_columns columns and adds its arcs to
// masks[child].
void read_arc_list(const char *path, const data_set &data, varset *masks);

// Fails (naming the arc or the child, on behalf of file) when the
// constraints exclude every network: a required arc that is forbidden,
// required arcs that form a cycle, a child with more required parents than
// max_parents (-1: no limit).
void check_constraints(const data_set &data, const varset *forbidden, const varset *required,
                       int max_parents, const char *file);
