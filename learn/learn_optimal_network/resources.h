// learn_optimal_network: the disk and memory a run on n variables needs, and
// the check that the machine has them before the scores are computed.
#pragma once

#include "driver.h"

#include <cstdint>

// Bytes of all records of one kind over the n variables: n * 2^(n-1) records.
uint64_t per_family(int n, uint64_t record);

// Ends the run with a one-line message when the file system of the work
// folder cannot hold what the rest of the run writes (already_on_disk bytes
// of it are written) or when the largest stage needs more memory than is
// available.
void check_resources(int n, const options &opt, uint64_t already_on_disk);
