// The outputs of a program: which files it may not write (its inputs), and
// which unfinished files a failure removes.
//
// No output over an input.  Before any output is opened, every input is
// noted, then every output checked against them: an output that is the same
// file as an input (same device and inode, links followed) fails with
// "<output>: is the same file as the input <input>", so a run never empties
// a file before reading it.
//
//     note_input(table);                 // each input, before any output
//     refuse_input_as_output(split);     // each output
//
// The registry of outputs.  An output is registered once it is opened; from
// then on a failure of the program (fail() in checked_io.h, or a mapped
// input that shrinks) removes it, so that a half-written file never looks
// like a finished one.  Once the output is whole, committing it keeps it.
// Only regular files are ever removed, and only while the name still refers
// to the file the program opened: a device or pipe named as output, or a
// file put in its place by someone else, stays.
//
//     FILE *f = open_output(path, "wb");        // created in place, registered
//     ... write, close_output(f, path) ...
//     commit_output(path);                      // or commit_outputs() for all
//
// A staged output is written under a temporary name in the same folder
// (`<path>.<pid>.part`) and renamed onto path when committed, so that a
// file of that name stays as it was until the new one is complete:
//
//     FILE *f = open_output_staged(path, "w");
//
// The registry is filled and committed by the main thread; a failure on
// any thread, or in the SIGBUS handler, removes what is registered.  A
// program that wants the same on SIGINT, SIGTERM, SIGHUP and SIGPIPE calls
// remove_outputs_on_signals() first.
#pragma once
#include <cstdio>

// ---- inputs that are no outputs ----------------------------------------

// Notes the file at path as an input.  A name that does not exist (yet) is
// skipped: opening it fails later with its own message.
void note_input(const char *path);
// Notes the file open as f (standard input, say) as an input.
void note_input_stream(FILE *f, const char *name);
// Fails when the file at path is one of the noted inputs.
void refuse_input_as_output(const char *path);
// The same for the numbered files <dir>/<i><ext>, i = 0 .. n - 1 (files.h).
void note_numbered_inputs(int n, const char *dir, const char *ext);
void refuse_numbered_outputs(int n, const char *dir, const char *ext);

// ---- the registry ------------------------------------------------------

// Creates or truncates path with the stdio mode and registers it; a file
// that cannot be opened fails.
FILE *open_output(const char *path, const char *mode);
// Creates a new file under a temporary name beside path and registers it;
// commit_output(path) renames it onto path.
FILE *open_output_staged(const char *path, const char *mode);
// Registers a file the caller opened as path, by its descriptor (fileno()
// of a stream); only a regular file is registered, anything else ignored.
void register_output(const char *path, int fd);
// The output registered as path is finished: a staged one is renamed into
// place (a failed rename fails), and a failure no longer removes it.
void commit_output(const char *path);
// commit_output for every registered output, in registration order: all
// staged outputs are renamed before any is kept, so that a rename that
// fails removes the ones renamed before it too.
void commit_outputs();
// Removes every registered output (regular files that are still the ones
// opened) and forgets them.  Called by fail(); async-signal-safe.
void remove_outputs();
// Installs handlers of SIGINT, SIGTERM, SIGHUP and SIGPIPE (unless
// ignored) that remove the registered outputs and then end the process by
// the same signal.
void remove_outputs_on_signals();
