// Reading the labels of a variable-description file (description_file.h).
#include "description_file.h"

#include <cerrno>
#include <cstring>

#include "checked_io.h"

const char *read_description_label(FILE *f, char *buf, const char *name)
{
    errno = 0;
    if (fgets(buf, int(description_piece), f) == nullptr) {
        check_input(f, name);
        return nullptr;
    }
    char *rest = nullptr;
    const char *label = strtok_r(buf, "\t\r\n", &rest);
    return label != nullptr ? label : "";
}
