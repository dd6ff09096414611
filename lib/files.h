// Numbered file sets: the per-variable files <dir>/<i><ext> of a score
// directory.  These functions behave like plain stdio: a file that cannot
// be opened gives a null handle (open_files_checked in checked_io.h fails
// instead).
//
// The headers of the other library modules are included here, so that a
// program may include this one header for the whole library:
//   checked_io.h    failures and checked stdio
//   outputs.h       no output over an input; unfinished outputs removed
//   nof_vars.h      the nof_vars argument
//   mapped_input.h  inputs read in place, with the SIGBUS guard
//   write_queue.h   writes on a second thread
#pragma once
#include <cstdio>

#include "checked_io.h"
#include "mapped_input.h"
#include "nof_vars.h"
#include "outputs.h"
#include "write_queue.h"

// Number of decimal digits of k (0 has one; a minus sign is not counted).
int nof_digits(int k);
// Newly allocated "<dir>/<i><ext>"; release with free().
char *create_fn(const char *dir, int i, const char *ext);
// Opens <dir>/<i><ext> with the stdio mode; null when it cannot be opened.
FILE *open_file(const char *dir, int i, const char *ext, const char *mode);
// Array of n handles, element i = open_file(dir, i, ext, mode).
FILE **open_files(int n, const char *dir, const char *ext, const char *mode);
// Closes the first n handles in index order, then frees the array.
void free_files(int n, FILE **handles);
