// import_family_table listing
//
// Turns a text score listing into one binary file of doubles per variable in
// the result directory fixed at build time: file i holds the scores of the
// records of variable i in listing order, padded with -1000.0 to the length
// of the longest record group.  The head of the listing is echoed to
// standard output.
//
// The listing is read once (so it may be a pipe), whole and checked before
// any result file is created, so a listing that is cut short or malformed
// leaves the result files of an earlier run as they were.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <vector>

#include "files.h"
#include "listing.h"

#ifndef RESULT_DIR
#error "RESULT_DIR (the result directory) must be defined by the build"
#endif

namespace {

constexpr double missing_score = -1000.0;

void put_bytes(const char *bytes, size_t len)
{
    errno = 0;
    if (len > 0 && fwrite(bytes, 1, len, stdout) != len)
        fail_errno("standard output");
}

// Lines 1 and 3 and the header after the counts are each followed by one
// more newline; the counts are printed one per line.
void echo_head(const listing_head *head)
{
    put_bytes(head->line1, head->line1_len);
    put_bytes("\n", 1);
    printf("%d\n", head->nof_vars);
    put_bytes(head->line3, head->line3_len);
    put_bytes("\n", 1);
    for (int i = 0; i < head->nof_vars; ++i)
        printf("%d\n", head->counts[i]);
    put_bytes(head->line5, head->line5_len);
    put_bytes("\n", 1);
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout))
        fail_errno("standard output");
}

void put_score(FILE *f, double score, const char *name)
{
    errno = 0;
    if (fwrite(&score, sizeof score, 1, f) != 1)
        fail_errno(name);
}

} // namespace

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    program_name = "import_family_table";
    if (argc < 2) {
        fputs("Usage: import_family_table listing\n", stderr);
        return 1;
    }
    const char *listing = argv[1];

    struct stat dir_info;
    if (stat(RESULT_DIR, &dir_info) != 0)
        fail(RESULT_DIR, "result directory is missing");
    if (!S_ISDIR(dir_info.st_mode))
        fail(RESULT_DIR, "result directory is not a directory");

    // The listing is read once, whole, and checked before anything is
    // written; its scores are kept, variable by variable.
    text_input in;
    listing_head head;
    score_record rec;
    input_open(&in, listing);
    read_listing_head(&in, &head);
    const int n = head.nof_vars;
    std::vector<std::vector<double>> scores(size_t(n > 0 ? n : 0));
    for (int i = 0; i < n; ++i) {
        // The counts are the listing's word: room grows with the records
        // actually read, so a huge count in a short listing costs nothing.
        for (int k = 0; k < head.counts[i]; ++k) {
            read_score_record(&in, &rec, i, k);
            scores[size_t(i)].push_back(rec.score);
        }
    }

    // Creating a result file must never empty the listing.
    note_input_stream(in.file, listing);
    for (int i = 0; i < n; ++i) {
        char *path = create_fn(RESULT_DIR, i, "");
        if (path == nullptr)
            fail(RESULT_DIR, "out of memory");
        refuse_input_as_output(path);
        free(path);
    }
    input_close(&in);

    echo_head(&head);

    int longest = 0;
    for (int i = 0; i < n; ++i)
        if (head.counts[i] > longest)
            longest = head.counts[i];

    for (int i = 0; i < n; ++i) {
        char *path = create_fn(RESULT_DIR, i, "");
        if (path == nullptr)
            fail(RESULT_DIR, "out of memory");
        FILE *f = open_output(path, "wb");
        for (double score : scores[size_t(i)])
            put_score(f, score, path);
        for (int k = head.counts[i]; k < longest; ++k)
            put_score(f, missing_score, path);
        close_output(f, path);
        commit_output(path);
        free(path);
    }
    close_output(stdout, "standard output");
    return 0;
}
