// Read-only view of an input file's first bytes, for programs that stream
// large files: the pages are read in place (no copy into a buffer) and
// dropped from the process once consumed, so the resident memory stays a
// small window per file.  map_input returns false when the file cannot be
// mapped (a pipe, say): the caller then reads it through stdio instead.
// A file holding fewer than `bytes` bytes fails with "unexpected end of
// file"; a file that shrinks while mapped fails with "file shrank while
// being read" (a SIGBUS handler, installed with the first mapping) instead
// of crashing, and the unfinished outputs are removed as on any failure.
#pragma once
#include <cstdint>
#include <cstdio>

struct mapped_input {
    const unsigned char *base;
    uint64_t bytes;      // bytes mapped (those the caller needs)
    uint64_t released;   // bytes before this offset are dropped already
    uint64_t step;       // bytes dropped at a time (a power of two; 512 KiB
                         // unless the caller sets it after mapping)
    const char *name;
};
bool map_input(mapped_input *m, FILE *f, uint64_t bytes, const char *name);
// The same for the bytes [offset, offset + bytes) of the file; offset must
// be a multiple of the page size.
bool map_input_range(mapped_input *m, FILE *f, uint64_t offset, uint64_t bytes,
                     const char *name);
// Drops the pages wholly before offset `upto` from the process (the page
// cache keeps them).  Cheap to call often: it acts once per step.
void mapped_release(mapped_input *m, uint64_t upto);
void unmap_input(mapped_input *m);
