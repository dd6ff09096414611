// Constraint lists: the arcs of --forbid and --require files, and the check
// that the constraints admit a network at all.
#pragma once
#include "data_reader.h"
#include "varpar.h"

// Reads an arc list and adds its arcs to masks[child].  The file holds one
// "parent,child" pair of column names a record, quoted as in data files (a
// tab or semicolon may replace the comma); blank lines and lines starting
// with # are skipped, and a first record "from,to" (also with a leading
// empty row-name column, as R writes a table) is a header.
void read_arc_list(const char *path, const data_set &data, varset *masks);

// Fails (naming the arc or the child, on behalf of file) when the
// constraints exclude every network: a required arc that is forbidden,
// required arcs that form a cycle, a child with more required parents than
// max_parents (-1: no limit).
void check_constraints(const data_set &data, const varset *forbidden, const varset *required,
                       int max_parents, const char *file);
