// learn_optimal_network: starting the programs of the run, waiting for them,
// and passing SIGINT and SIGTERM on to the one running.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// Installs the handlers of SIGINT and SIGTERM and ignores SIGXFSZ (a write
// beyond the file-size limit fails with EFBIG and is reported instead).
void install_signal_handlers();

// SIGINT or SIGTERM when one has arrived, else 0.
int signal_received();

// Blocks SIGINT and SIGTERM (while the results move into place); a signal
// that arrived before is still seen by signal_received().
void hold_signals();

// Runs path (shown as argv0, named stage in messages) with args until it
// ends; its standard output goes to stdout_path when given (created, never
// through a link), else to standard error.  While it runs, tick is called
// now and then with the child's process id.  Returns the wait status; a
// signal to the driver ends the run through stop_on_signal once the child
// has ended.  A program that cannot be started ends the run with status 2.
int run_process(const std::string &path, const char *argv0, const std::vector<std::string> &args,
                const std::string &stdout_path, const char *stage,
                const std::function<void(pid_t)> &tick);

double now_seconds();
