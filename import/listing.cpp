// Reading the text score listing and the ban and white lists (listing.h).
#include "listing.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "files.h"

namespace {

// Next byte of the input; EOF at the end of the file.  A read error fails.
int next_char(text_input *in)
{
    errno = 0;
    int c = getc(in->file);
    if (c == EOF && ferror(in->file))
        fail_errno(in->name);
    return c;
}

void put_back(text_input *in, int c)
{
    if (c != EOF)
        ungetc(c, in->file);
}

// Skips white space, counting line breaks; false at the end of the file.
bool skip_blanks(text_input *in)
{
    for (;;) {
        int c = next_char(in);
        if (c == EOF)
            return false;
        if (c == '\n')
            ++in->line;
        else if (!isspace(c)) {
            put_back(in, c);
            return true;
        }
    }
}

[[noreturn]] void fail_missing(const text_input *in, const char *what)
{
    std::string reason = std::string("unexpected end of file: ") + what + " missing";
    input_fail(in, reason.c_str());
}

void need_field(text_input *in, const char *what)
{
    if (!skip_blanks(in))
        fail_missing(in, what);
}

} // namespace

void input_open(text_input *in, const char *path)
{
    in->file = fopen_checked(path, "r");
    in->name = path;
    in->line = 1;
    in->record_var = -1;
    in->record_k = 0;
}

void input_close(text_input *in)
{
    close_input(in->file, in->name);
    in->file = nullptr;
}

void input_fail(const text_input *in, const char *reason)
{
    std::string text = "line " + std::to_string(in->line) + ": ";
    if (in->record_var >= 0)
        text += "record " + std::to_string(in->record_k + 1) + " of variable " +
                std::to_string(in->record_var) + ": ";
    text += reason;
    fail(in->name, text.c_str());
}

size_t read_line(text_input *in, char *buf, bool required, const char *what)
{
    size_t len = 0;
    while (len < line_buffer_size - 1) {
        int c = next_char(in);
        if (c == EOF) {
            if (len == 0 && required)
                fail_missing(in, what);
            return len;
        }
        buf[len++] = char(c);
        if (c == '\n') {
            ++in->line;
            return len;
        }
    }
    // The buffer is full without a newline: only the end of the file may
    // follow, or the rest of this line would be taken for the next one.
    int c = next_char(in);
    if (c != EOF) {
        put_back(in, c);
        std::string reason = std::string(what) + ": line longer than " +
                             std::to_string(line_buffer_size - 2) + " characters";
        input_fail(in, reason.c_str());
    }
    return len;
}

int read_int(text_input *in, const char *what)
{
    need_field(in, what);
    char text[24];
    size_t len = 0;
    bool too_long = false;
    int c = next_char(in);
    if (c == '+' || c == '-') {
        text[len++] = char(c);
        c = next_char(in);
    }
    size_t digits = 0;
    while (c != EOF && isdigit(c)) {
        if (len < sizeof text - 1)
            text[len++] = char(c);
        else
            too_long = true;
        ++digits;
        c = next_char(in);
    }
    put_back(in, c);
    text[len] = '\0';
    if (digits == 0) {
        std::string reason = std::string(what) + " is not an integer";
        input_fail(in, reason.c_str());
    }
    errno = 0;
    long long value = strtoll(text, nullptr, 10);
    if (too_long || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        std::string reason = std::string(what) + " " + text + (too_long ? "..." : "") +
                             " is out of range";
        input_fail(in, reason.c_str());
    }
    return int(value);
}

size_t read_token(text_input *in, char *buf, const char *what)
{
    need_field(in, what);
    size_t len = 0;
    int c = next_char(in);
    while (c != EOF && !isspace(c)) {
        if (len == line_buffer_size - 1) {
            std::string reason = std::string(what) + " of " +
                                 std::to_string(line_buffer_size) + " characters or more";
            input_fail(in, reason.c_str());
        }
        buf[len++] = char(c);
        c = next_char(in);
    }
    put_back(in, c);
    buf[len] = '\0';
    return len;
}

double read_score(text_input *in, const char *what)
{
    need_field(in, what);
    double value = 0.0;
    errno = 0;
    if (fscanf(in->file, "%lf", &value) != 1) {
        if (ferror(in->file))
            fail_errno(in->name);
        std::string reason = std::string(what) + " is not a number";
        input_fail(in, reason.c_str());
    }
    return value;
}

unsigned char read_char(text_input *in, const char *what)
{
    need_field(in, what);
    return static_cast<unsigned char>(next_char(in));
}

void read_listing_head(text_input *in, listing_head *head)
{
    head->line1_len = read_line(in, head->line1, true, "header line 1");
    int n = read_int(in, "variable count");
    if (n < 0 || n > max_listing_vars) {
        std::string reason = "variable count " + std::to_string(n) +
                             (n < 0 ? " is negative" : " is above " +
                                                           std::to_string(max_listing_vars));
        input_fail(in, reason.c_str());
    }
    head->nof_vars = n;
    head->rest2_len = read_line(in, head->rest2, false, "line 2");
    head->line3_len = read_line(in, head->line3, true, "header line 3");
    for (int i = 0; i < n; ++i) {
        std::string what = "record count of variable " + std::to_string(i);
        int c = read_int(in, what.c_str());
        if (c < 0) {
            std::string reason = what + " is negative (" + std::to_string(c) + ")";
            input_fail(in, reason.c_str());
        }
        head->counts[i] = c;
    }
    head->rest4_len = read_line(in, head->rest4, false, "record count line");
    head->line5_len = read_line(in, head->line5, true, "header line after the record counts");
}

void read_score_record(text_input *in, score_record *rec, int var, int k)
{
    in->record_var = var;
    in->record_k = k;
    rec->var = read_int(in, "variable id");
    rec->token_len = read_token(in, rec->token, "parent-set token");
    rec->score = read_score(in, "score");
    char rest[line_buffer_size];
    read_line(in, rest, false, "record line");
    in->record_var = -1;
}
