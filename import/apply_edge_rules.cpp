// apply_edge_rules listing banlist whitelist outlisting
//
// Rewrites a text score listing under a ban list (parent letters a child
// must not have) and a white list (parent letters a child must have): a
// score record that breaks a rule keeps its place but gets the penalty
// score, ten times the lowest score of the listing (starting from 0.0).
//
// The listing and both lists are read once (so they may be pipes), and
// checked completely before the output listing is created, so a bad input
// never leaves a half-written output behind.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "files.h"
#include "listing.h"

namespace {

struct rule_entry {
    int child;
    unsigned char letter;
};

struct rule_list {
    rule_entry entries[max_rule_entries];
    int count;
};

// Reads a ban list (token per entry, its first character is the letter) or
// a white list (one character per entry).
void read_rules(const char *path, rule_list *list, bool white)
{
    const char *kind = white ? "white" : "ban";
    text_input in;
    input_open(&in, path);
    note_input_stream(in.file, path);
    std::string what = std::string(kind) + " count";
    int count = read_int(&in, what.c_str());
    if (count < 0 || count > max_rule_entries) {
        std::string reason = what + " " + std::to_string(count) +
                             (count < 0 ? " is negative"
                                        : " is above " + std::to_string(max_rule_entries));
        input_fail(&in, reason.c_str());
    }
    char line[line_buffer_size];
    read_line(&in, line, false, "line 1");
    read_line(&in, line, false, "header line 2");
    for (int k = 0; k < count; ++k) {
        rule_entry *e = &list->entries[k];
        e->child = read_int(&in, "child id");
        if (white) {
            e->letter = read_char(&in, "white letter");
        } else {
            read_token(&in, line, "ban token");
            e->letter = static_cast<unsigned char>(line[0]);
        }
        read_line(&in, line, false, "entry line");
    }
    list->count = count;
    input_close(&in);

    if (white) {
        for (int k = 0; k < count; ++k) {
            int same = 0;
            for (int j = 0; j < count; ++j)
                same += list->entries[j].child == list->entries[k].child;
            if (same > max_white_letters) {
                std::string reason = "child " + std::to_string(list->entries[k].child) +
                                     " has " + std::to_string(same) +
                                     " white letters, more than " +
                                     std::to_string(max_white_letters);
                fail(path, reason.c_str());
            }
        }
    }
}

void put_bytes(FILE *f, const char *bytes, size_t len, const char *name)
{
    errno = 0;
    if (len > 0 && fwrite(bytes, 1, len, f) != len)
        fail_errno(name);
}

bool is_banned(const score_record *rec, const rule_list *ban)
{
    for (int k = 0; k < ban->count; ++k)
        if (ban->entries[k].child == rec->var &&
            memchr(rec->token, ban->entries[k].letter, rec->token_len) != nullptr)
            return true;
    return false;
}

// The requirement is met once as many token positions carry one of the
// child's required letters as the child has white entries; a letter listed
// twice must thus occur twice.
bool lacks_required(const score_record *rec, const rule_list *white)
{
    unsigned char required[max_white_letters];
    int nof_required = 0;
    for (int k = 0; k < white->count; ++k)
        if (white->entries[k].child == rec->var && nof_required < max_white_letters)
            required[nof_required++] = white->entries[k].letter;
    if (nof_required == 0)
        return false;
    int found = 0;
    for (size_t pos = 0; pos < rec->token_len; ++pos) {
        unsigned char c = static_cast<unsigned char>(rec->token[pos]);
        for (int j = 0; j < nof_required; ++j) {
            if (required[j] == c) {
                if (++found == nof_required)
                    return false;
                break;
            }
        }
    }
    return true;
}

// A listing read whole: its head and its score records, the tokens of all
// records held in one string.
struct held_listing {
    listing_head head;
    std::vector<int> vars;
    std::vector<double> scores;
    std::vector<size_t> token_ends;   // token k is tokens[token_ends[k-1] .. token_ends[k])
    std::string tokens;
};

void read_listing(const char *path, held_listing *l)
{
    text_input in;
    score_record rec;
    input_open(&in, path);
    note_input_stream(in.file, path);
    read_listing_head(&in, &l->head);
    for (int i = 0; i < l->head.nof_vars; ++i) {
        for (int k = 0; k < l->head.counts[i]; ++k) {
            read_score_record(&in, &rec, i, k);
            l->vars.push_back(rec.var);
            l->scores.push_back(rec.score);
            l->tokens.append(rec.token, rec.token_len);
            l->token_ends.push_back(l->tokens.size());
        }
    }
    input_close(&in);
}

} // namespace

// The penalty score: ten times the lowest score of the listing, the lowest
// starting at 0.0 (a score that is not a number never becomes the lowest).
double penalty_score(const held_listing &l)
{
    double min = 0.0;
    for (double score : l.scores)
        if (min > score)
            min = score;
    return min * 10.0;
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    program_name = "apply_edge_rules";
    if (argc < 5) {
        fputs("Usage: apply_edge_rules listing banlist whitelist outlisting\n", stderr);
        return 1;
    }
    const char *listing = argv[1];
    const char *banlist = argv[2];
    const char *whitelist = argv[3];
    const char *outlisting = argv[4];

    // Every input is read once, whole, before the output is opened.
    static held_listing in;
    read_listing(listing, &in);
    const double penalty = penalty_score(in);
    static rule_list ban, white;
    read_rules(banlist, &ban, false);
    read_rules(whitelist, &white, true);

    // Truncating the output must never empty an input.
    refuse_input_as_output(outlisting);
    FILE *out = open_output(outlisting, "w");

    const listing_head &head = in.head;
    put_bytes(out, head.line1, head.line1_len, outlisting);
    errno = 0;
    if (fprintf(out, "%d", head.nof_vars) < 0)
        fail_errno(outlisting);
    put_bytes(out, head.rest2, head.rest2_len, outlisting);
    put_bytes(out, head.line3, head.line3_len, outlisting);
    for (int i = 0; i < head.nof_vars; ++i) {
        errno = 0;
        if (fprintf(out, "%d\t", head.counts[i]) < 0)
            fail_errno(outlisting);
    }
    put_bytes(out, head.rest4, head.rest4_len, outlisting);
    put_bytes(out, head.line5, head.line5_len, outlisting);

    score_record rec;
    for (size_t k = 0; k < in.scores.size(); ++k) {
        const size_t from = k == 0 ? 0 : in.token_ends[k - 1];
        rec.var = in.vars[k];
        rec.token_len = in.token_ends[k] - from;
        memcpy(rec.token, in.tokens.data() + from, rec.token_len);
        rec.token[rec.token_len] = '\0';
        rec.score = in.scores[k];
        // The ban check decides first.
        double score = rec.score;
        if (is_banned(&rec, &ban) || lacks_required(&rec, &white))
            score = penalty;
        errno = 0;
        if (fprintf(out, "%d\t", rec.var) < 0)
            fail_errno(outlisting);
        put_bytes(out, rec.token, rec.token_len, outlisting);
        errno = 0;
        if (fprintf(out, "\t%lf\n", score) < 0)
            fail_errno(outlisting);
    }
    close_output(out, outlisting);
    commit_outputs();
    return 0;
}
