// Sequential reading of fixed-size records (record_reader.h).
#include "record_reader.h"

#include <cerrno>
#include <cstdlib>

#include "checked_io.h"

void reader_init(record_reader *r, FILE *f, const char *name, size_t record_size,
                 size_t capacity)
{
    r->file = f;
    r->name = name;
    r->record_size = record_size;
    r->capacity = capacity ? capacity : 1;
    r->buf = static_cast<unsigned char *>(alloc_or_fail(record_size * r->capacity, name));
    r->filled = 0;
    r->next = 0;
}

void reader_refill(record_reader *r)
{
    errno = 0;
    size_t got = fread(r->buf, r->record_size, r->capacity, r->file);
    if (got == 0) {
        if (ferror(r->file))
            fail_errno(r->name);
        fail(r->name, "unexpected end of file");
    }
    r->filled = got;
    r->next = 0;
}

void reader_free(record_reader *r)
{
    free(r->buf);
    r->buf = nullptr;
}
