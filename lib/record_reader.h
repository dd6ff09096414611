// Sequential reader of fixed-size records through a large private buffer,
// for programs that consume files record by record.  A read error or a file
// that ends before the record asked for fails (checked_io.h).
#pragma once
#include <cstddef>
#include <cstdio>

struct record_reader {
    FILE *file;
    const char *name;
    unsigned char *buf;
    size_t record_size;
    size_t capacity;   // records the buffer holds
    size_t filled;     // records in the buffer
    size_t next;       // next record to hand out
};
void reader_init(record_reader *r, FILE *f, const char *name, size_t record_size,
                 size_t capacity);
void reader_refill(record_reader *r);
inline const unsigned char *reader_next(record_reader *r)
{
    if (r->next == r->filled)
        reader_refill(r);
    return r->buf + r->record_size * r->next++;
}
void reader_free(record_reader *r);
