// learn_optimal_network: what its parts share.  The options of one run, the
// state the clean-up needs on every way out, and the ways out themselves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern const char *const program;
extern const char *const usage_line;
const int max_vars = 32;
const int max_resamples = 10000; // their networks' names fit one argument list

struct options {
    std::vector<std::string> scorer_args; // passed through to the scorer
    bool full_chain = false; // the route through res, scatter and flip
    bool keep = false;
    bool quiet = false;
    bool posterior = false;       // exact posterior arc probabilities
    int bootstrap = 0;            // resamples searched for arc strengths; 0: none
    std::string seed = "1";       // of the resamples, a whole number as given
    std::string threshold = "0.5"; // least strength of an arc of the averaged network
    std::string params = "bayes"; // how fit_parameters estimates the tables
    std::string data;
    std::string forbid, require; // as given, "" when not given
    std::string outdir;
};

// The run as the clean-up sees it.
struct run_state {
    std::string out_dir;         // OUTDIR, without trailing slashes
    bool created_out_dir = false;
    int out_fd = -1;             // OUTDIR, open and locked
    std::string work_name;       // the run's own folder in OUTDIR (".run-XXXXXX")
    std::string work_dir;        // out_dir + "/" + work_name
    int work_fd = -1;
    bool line_open = false;      // a progress line waits for its end
};
extern run_state run;

// Ends the run: prints "<program>: <file>: <reason>", removes what the run
// made, exits with status.
[[noreturn]] void stop(int status, const std::string &file, const std::string &reason);
// Ends the run after a stage failed and has said why: its status is the run's.
[[noreturn]] void stop_quietly(int status);
// Ends the run after SIGINT or SIGTERM, naming the stage that was running.
[[noreturn]] void stop_on_signal(int sig, const char *stage);

std::string human_bytes(uint64_t bytes);
