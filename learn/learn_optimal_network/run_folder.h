// learn_optimal_network: the folders of a run.  OUTDIR is locked for the
// run; the stages work in a folder of the run's own inside it; the results
// replace same-named files in OUTDIR only when every stage has succeeded.
#pragma once

#include "driver.h"

#include <string>
#include <vector>

// The files of a finished run, in the order they move into OUTDIR: the
// network file last, so that it only appears once everything else is there.
constexpr int nof_result_names = 14;
extern const char *const result_names[nof_result_names];

// Checks the inputs and OUTDIR, then makes OUTDIR when missing, locks it and
// creates the run's own folder in it.  Refused before anything is made or
// changed: a missing input, an OUTDIR that is not a folder, a folder another
// run holds, and a result name in OUTDIR that is not a regular file or is
// one of the inputs.
void open_run_folder(const options &opt);

// The path a stage reads DATA (or a rule file) from: the path as given for a
// regular file, else a copy in the run's folder, made here (standard input
// for "-").
std::string readable_copy(const std::string &path, const char *copy_name);

// Removes a file of the run's folder; a file that is not there is fine.
void remove_work_file(const std::string &name);

// Moves the results that exist into OUTDIR, each by one rename, then removes
// the run's folder, or with keep renames it to OUTDIR/work when that name is
// free.  Returns the folder kept ("" when none).
std::string publish_results(bool keep);
