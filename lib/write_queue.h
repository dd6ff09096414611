// Writes handed to a second thread, so that a program can go on computing
// while the kernel copies its output: buffers come from a fixed pool and
// return to it once written.  A failed write fails the program as the
// checked writes of checked_io.h do.  Writes to one stream are done in the
// order they are queued.
#pragma once
#include <cstddef>
#include <cstdio>

struct write_queue;
write_queue *queue_start(size_t nof_buffers, size_t buffer_bytes);
// A free buffer of buffer_bytes, waiting for one if all are queued.
unsigned char *queue_buffer(write_queue *q);
void queue_write(write_queue *q, FILE *f, const char *name, unsigned char *buf, size_t len);
// Returns a buffer to the pool unwritten.
void queue_release(write_queue *q, unsigned char *buf);
// Waits until everything queued is written, then ends the thread and frees
// the pool.
void queue_finish(write_queue *q);
