// Names and opening of numbered file sets (files.h).
#include "files.h"

#include <cstdlib>
#include <cstring>

int nof_digits(int k)
{
    int digits = 1;
    while ((k /= 10) != 0)
        ++digits;
    return digits;
}

char *create_fn(const char *dir, int i, const char *ext)
{
    size_t size = strlen(dir) + strlen(ext) + size_t(nof_digits(i)) + 2;
    char *name = static_cast<char *>(malloc(size));
    if (name != nullptr)
        snprintf(name, size, "%s/%d%s", dir, i, ext);
    return name;
}

FILE *open_file(const char *dir, int i, const char *ext, const char *mode)
{
    char *name = create_fn(dir, i, ext);
    if (name == nullptr)
        return nullptr;
    FILE *f = fopen(name, mode);
    free(name);
    return f;
}

FILE **open_files(int n, const char *dir, const char *ext, const char *mode)
{
    size_t count = n > 0 ? size_t(n) : 0;
    FILE **handles = static_cast<FILE **>(calloc(count ? count : 1, sizeof(FILE *)));
    if (handles == nullptr)
        return nullptr;
    for (size_t i = 0; i < count; ++i)
        handles[i] = open_file(dir, int(i), ext, mode);
    return handles;
}

void free_files(int n, FILE **handles)
{
    if (handles == nullptr)
        return;
    for (int i = 0; i < n; ++i)
        if (handles[i] != nullptr)
            fclose(handles[i]);
    free(handles);
}
