// Checked reading of the text score listing and of the ban and white lists.
//
// The listings are read with the same field rules as formatted scanning
// (numbers and tokens separated by any white space, line breaks included),
// but every field is bounded and checked: a field that is missing, cannot be
// parsed or does not fit fails with "<program>: <file>: line N: <reason>"
// and exit status 2 (see fail() in files.h).  Lines are counted as they are
// consumed, so N is the line the failing field was looked for on.
#pragma once
#include <cstddef>
#include <cstdio>

// Line buffer of the listing formats: a line holds at most 498 characters
// before its newline, a parent-set token at most 499 characters.
constexpr size_t line_buffer_size = 500;
// Record counts kept per listing, and entries per ban or white list.
constexpr int max_listing_vars = 100;
constexpr int max_rule_entries = 1000;
// Required parent letters of one child.
constexpr int max_white_letters = 100;

struct text_input {
    FILE *file;
    const char *name;
    long line;   // line of the next unread character, from 1
    int record_var;   // score record being read, for messages (-1: none)
    int record_k;
};

// Opens path for reading ("r"); failing to open it fails.
void input_open(text_input *in, const char *path);
void input_close(text_input *in);
[[noreturn]] void input_fail(const text_input *in, const char *reason);

// Reads the rest of the current line, its newline included, into buf
// (line_buffer_size bytes; no terminating zero) and returns its length.
// A line that does not fit fails.  At the end of the file the length may be
// 0; with required set, finding no line at all fails naming what.
size_t read_line(text_input *in, char *buf, bool required, const char *what);

// Decimal integer of 32 bits after optional white space ("%d").
int read_int(text_input *in, const char *what);
// Token without white space after optional white space ("%s") into buf
// (line_buffer_size bytes, zero-terminated); returns its length.  A token of
// 500 characters or more fails.
size_t read_token(text_input *in, char *buf, const char *what);
// Floating-point number after optional white space ("%lf").
double read_score(text_input *in, const char *what);
// First character that is not white space (" %c").
unsigned char read_char(text_input *in, const char *what);

// Head of a text score listing: lines 1 to 5 as their readers see them.
struct listing_head {
    char line1[line_buffer_size];
    size_t line1_len;
    int nof_vars;
    char rest2[line_buffer_size];   // rest of line 2 after the count
    size_t rest2_len;
    char line3[line_buffer_size];
    size_t line3_len;
    int counts[max_listing_vars];
    char rest4[line_buffer_size];   // rest of the line of the last count
    size_t rest4_len;
    char line5[line_buffer_size];
    size_t line5_len;
};

// Reads and checks the head: a variable count from 0 to 100, record counts
// that are not negative, every line within the line buffer.
void read_listing_head(text_input *in, listing_head *head);

struct score_record {
    int var;
    char token[line_buffer_size];
    size_t token_len;
    double score;
};

// Reads one score record "%d %s %lf" and skips the rest of its line; var and
// k (0-based) name the record in a failure message.
void read_score_record(text_input *in, score_record *rec, int var, int k);
