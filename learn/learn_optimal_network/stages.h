// learn_optimal_network: the stages of a run as data, and the runner that
// goes through them.
//
// A stage is one program of the suite started from the driver's folder.
// Its arguments and file names are patterns:
//   {n}       the number of variables (known once the data are described)
//   {dir}     the run's own folder
//   {data}    DATA as the stages read it
//   {round}   the round of a repeated group (1, 2, ...); {rounds} their number
//   {round:G} outside group G, in an argument or a file list: one argument
//             or file per round of G, the round in its place
//   {seed} {threshold} {bootstrap}  the options of that name
//   {scoring} as a whole argument: the scoring options, several arguments
//   {i}       in a file list only: one file per variable 0 .. n-1
// File lists name files of the run's folder (no folder part).
//
// To add a stage, add a row to the table in stages.cpp where it runs.  An
// optional stage gets a `when` that reads its option.  Stages that repeat
// (a bootstrap of scoring and search) are consecutive rows that share a
// `group` name listed in `stage_groups` with the function giving the number
// of rounds: the rows run in order, once per round.  {round} keeps the files
// a round leaves apart; a later stage names all of them with {round:G}.
// check_table() verifies that every file a stage reads was written before
// it (or is an input) and that it only deletes files it reads.
#pragma once

#include "driver.h"

#include <cstdint>
#include <string>
#include <vector>

struct run_context {
    const options &opt;
    std::string data;                     // DATA as the stages read it
    std::vector<std::string> scoring;     // the scoring options, rule files as read
    int n = 0;                            // 0 until the data are described
    std::vector<std::string> names;       // the variables' names, from vd
    int round = 0;                        // of the group running, from 1; 0 outside
    int rounds = 0;                       // of the group running
    std::string score;                    // what rate_graph printed
};

struct stage {
    const char *program;                  // in the driver's folder
    const char *label;                    // shown after the program name, may be ""
    std::vector<std::string> args;
    std::string stdout_file;              // standard output into this file; "": to stderr
    std::vector<std::string> reads;       // files of the run's folder it reads
    std::vector<std::string> writes;      // files it leaves
    std::vector<std::string> progress;    // files whose growth shows progress (none: writes)
    uint64_t (*expected_bytes)(int n);    // their size at the end; nullptr: no percentage
    std::vector<std::string> drop_after;  // inputs deleted after it, unless --keep
    bool (*when)(const options &);        // nullptr: always
    void (*check)(run_context &);         // run after it succeeded; nullptr: none
    const char *group;                    // "" or a name of stage_groups
};

struct stage_group {
    const char *name;
    int (*rounds)(const options &);
};

// The variable names of a variable-description file: the first field (up to
// a tab) of each line.
std::vector<std::string> read_names(const std::string &path);
std::string read_text(const std::string &path);

// Runs the enabled stages of the table in order; a stage that fails ends
// the run with its status.
void run_stages(run_context &ctx);
