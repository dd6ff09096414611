// weigh_arcs: the posterior probability of every arc u -> v, summed over
// all networks, from the local scores and the forward and backward sums of
// sum_leaf_tables.
//
// For a variable v and a set U of other variables, F(U) B(U + v) is the
// weight of all orders in which exactly U comes before v, without v's own
// factor.  Summed over the supersets of a parent set P,
//   G_v(P) = sum over U containing P of F(U) B(U + v),
// it gives the weight of all networks in which v has the parents P, once
// multiplied by the prior-weighted e^score(P) / C(n-1, |P|).  So
//   p(u -> v) = sum over P holding u of that product / sum over all P,
// the denominator being the total weight F(all) computed per v.
//
// probfile (text): n lines, line u holding the n probabilities p(u -> v),
// v = 0 .. n-1, each "%.17g", separated by one space; p(v -> v) is 0.
// Every network weighing zero (all scores -inf) fails: no probability is
// defined then.  Scores are read as sum_family_subsets reads them: a NaN
// weighs nothing, +inf fails.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <thread>
#include <vector>

#include "files.h"
#include "logsum.h"

namespace {

constexpr size_t buffer_records = 32768;   // 256 KiB of doubles per read
constexpr int block_bits = 10;
constexpr size_t block = size_t(1) << block_bits;

} // namespace

namespace {

// The forward and backward sums, open and (where they can be) mapped.
struct sum_files {
    FILE *fwd, *bwd;
    mapped_input fwd_map, bwd_map;
};

// The arcs into v = first, first + step, ... < n, with a weight table of
// its own; split tells whether the sums over supersets may take a second
// thread.
void weigh_some(int n, int first, int step, bool split, const char *dirname, const char *fwdfile,
                const char *bwdfile, const sum_files &sums, std::vector<double> &prob)
{
    const uint64_t count = uint64_t(1) << n;
    const uint64_t records = count / 2;
    double *g = static_cast<double *>(alloc_populated(sizeof(double) * records, "weight table"));
    const std::vector<double> prior = log_family_prior(n - 1);

    std::vector<double> scores(buffer_records), e(block), fbuf, bbuf;
    // Zeros to add where add_weights takes no extra weight or prior; the
    // scales of the plain sums, and the top of each piece of a block.
    const std::vector<double> zeros(block, 0.0);
    std::vector<double> g_scale, piece_top(block), piece_inv(block), piece_low(block);
    // The forward and backward sums in place where mapped (each thread
    // with its own count of the pages it has done with), else read.
    mapped_input fm = sums.fwd_map, bm = sums.bwd_map;
    // Pages dropped an eighth of a file at a time (from 512 KiB to 4 MiB):
    // each drop stops the other thread to clear its address translations.
    {
        uint64_t step = uint64_t(512) << 10;
        while (step < (uint64_t(4) << 20) && step * 8 < count * sizeof(double))
            step *= 2;
        fm.step = bm.step = step;
    }
    if (fm.base == nullptr || bm.base == nullptr)
        fbuf.resize(1);   // grown to a run's span when first read
    // Set sizes within a block, for the prior.
    unsigned char low_size[block];
    for (size_t k = 0; k < block; ++k)
        low_size[k] = (unsigned char)__builtin_popcountll(k);

    for (int v = first; v < n; v += step) {
        const uint64_t vb = uint64_t(1) << v;
        // F(U) B(U + v) for the sets U without v, in parset order, made run
        // by run as the sums over the supersets take them (by this thread
        // alone: split is false wherever a second thread could be taken).
        // Parset p is the set U with a gap at bit v; the parsets of a run
        // come in pieces of 2^v consecutive sets (the whole run where 2^v
        // is longer), each followed by the piece of the same sets with v.
        fm.released = bm.released = 0;
        const subset_fill make = [&](uint64_t first, size_t len, double *out) {
            const uint64_t u0 = ((first >> v) << (v + 1)) | (first & (vb - 1));
            const size_t piece = vb < len ? size_t(vb) : len;
            // The sets U span [u0, u_end), and U + v [u0 + vb, u_end + vb).
            const uint64_t u_end = piece == len ? u0 + len : u0 + 2 * len - piece;
            const double *fb, *bb;
            if (fbuf.empty()) {
                fb = reinterpret_cast<const double *>(fm.base) + u0;
                bb = reinterpret_cast<const double *>(bm.base) + u0 + vb;
            } else {
                const size_t span = size_t(u_end - u0);
                if (fbuf.size() < span) {
                    fbuf.resize(span);
                    bbuf.resize(span);
                }
                pread_exact(sums.fwd, fbuf.data(), span * sizeof(double), u0 * sizeof(double),
                            fwdfile);
                pread_exact(sums.bwd, bbuf.data(), span * sizeof(double),
                            (u0 + vb) * sizeof(double), bwdfile);
                fb = fbuf.data();
                bb = bbuf.data();
            }
            for (size_t k = 0; k < len; k += piece) {
                const double *f = fb + 2 * k, *b = bb + 2 * k;
                double *t = out + k;
                for (size_t i = 0; i < piece; ++i)
                    t[i] = f[i] + b[i];
            }
            if (fbuf.empty()) {
                mapped_release(&fm, u_end * sizeof(double));
                mapped_release(&bm, (u_end + vb) * sizeof(double));
            }
        };
        std::vector<double> &scale = g_scale;
        const int run_bits = subset_sums_plain(g, n - 1, true, split, make, scale);
        // A piece: the run of a block that shares one scale (the whole
        // block where runs are longer).
        const size_t piece = run_bits < 0 ? block : run_bits < block_bits ? size_t(1) << run_bits : block;
        // Each parent set's weight, to the total and to each of its arcs.
        char *name = create_fn(dirname, v, "");
        FILE *in = fopen_checked(name, "rb");
        log_sum total;
        std::vector<log_sum> arc(static_cast<size_t>(n - 1));
        // The sums of the block's terms e[0, block), e^(weight - m): the
        // total, and per arc those of the sets holding it.
        auto fold = [&](uint64_t first, double m) {
            // Folded in halves: the upper half of a run holds the sets with
            // its top bit, and adding it onto the lower half keeps the sums
            // over the lower bits.
            double part[block_bits];
            const double all = fold_halves(e.data(), block, part);
            log_sum_add_scaled(total, m, all);
            for (int j = 0; j < n - 1; ++j) {
                if (j < block_bits) {
                    if (part[j] > 0.0)
                        log_sum_add_scaled(arc[size_t(j)], m, part[j]);
                } else if (first >> j & 1) {
                    log_sum_add_scaled(arc[size_t(j)], m, all);
                }
            }
        };
        for (uint64_t at = 0; at < records; at += buffer_records) {
            const size_t len = size_t(records - at < buffer_records ? records - at : buffer_records);
            read_records(in, scores.data(), sizeof(double), len, name);
            clean_scores(scores.data(), len, at, name);
            for (size_t b0 = 0; b0 < len; b0 += block) {
                const size_t bl = len - b0 < block ? len - b0 : block;
                double *w = scores.data() + b0;
                const double *pr = prior.data() + __builtin_popcountll(at + b0);
                const double *gb = g + at + b0;
                const uint64_t first = at + b0;
                if (run_bits >= 0 && bl == block) {
                    // Where the block's sums are plain, each piece j with
                    // scale c_j: the weight of set k is w[k] + c_j +
                    // log gb[k], with w the score and prior.  With y_j and
                    // s_j the piece's largest plain sum and w, and m the
                    // largest c_j + log y_j + s_j (no weight lies above
                    // it), the term e^(weight - m) is
                    //   (gb[k] / y_j) e^(w[k] + c_j + log y_j - m),
                    // both factors at most 1.  Taken so when no term of a
                    // finite weight is below 2^-865 (e^-599.6: none can
                    // vanish in the sums), else as logarithms below.
                    bool plain = true;
                    double m = minus_inf;
                    for (size_t j = 0; j < bl; j += piece) {
                        const double c = scale[((first + j) >> run_bits) % scale.size()];
                        double lo;
                        const double top = add_weights(w + j, zeros.data(), pr, low_size + j, piece, &lo);
                        const double y = largest(gb + j, piece);
                        piece_inv[j / piece] = 1.0 / y;
                        piece_top[j / piece] = c + std::log(y);
                        piece_low[j / piece] = lo + piece_top[j / piece];
                        plain = plain && c == c;
                        const double t = piece_top[j / piece] + top;
                        m = top != minus_inf && t > m ? t : m;
                    }
                    if (m == minus_inf && plain)
                        continue;
                    // A piece whose lowest finite score lies more than 600
                    // below m holds a term below e^-600 < 2^-865 (its sum
                    // factor is at most 1): the terms would be refused, so
                    // they are not made.
                    for (size_t j = 0; plain && j < bl; j += piece)
                        plain = !(piece_low[j / piece] - m < -600.0);
                    if (plain) {
                        double below = 0.0;
                        for (size_t j = 0; j < bl; j += piece)
                            below += plain_terms(gb + j, w + j, e.data() + j, piece,
                                                 piece_inv[j / piece], piece_top[j / piece] - m);
                        if (below == 0.0) {
                            fold(first, m);
                            continue;
                        }
                    }
                    // As logarithms: w[k] + the log of the sums.
                    for (size_t j = 0; j < bl; j += piece) {
                        const double c = scale[((first + j) >> run_bits) % scale.size()];
                        for (size_t k = j; k < j + piece; ++k)
                            w[k] += c == c ? c + std::log(gb[k]) : gb[k];
                    }
                }
                // Block by block: in plain sums scaled by the block's
                // largest weight when no finite weight lies more than 600
                // below it (so none can vanish), else term by term.
                double lo;
                const double m = run_bits >= 0 && bl == block
                                     ? add_weights(w, zeros.data(), zeros.data(), low_size, bl, &lo)
                                     : add_weights(w, gb, pr, low_size, bl, &lo);
                if (m == minus_inf)
                    continue;
                if (m - lo <= 600.0 && bl == block) {
                    to_linear(w, e.data(), bl, m);
                    fold(first, m);
                    continue;
                }
                // A weight that every sum it goes to would pass over
                // (log_sum_add) is passed over at once: below skip, the
                // lowest of those sums' thresholds as the block starts
                // (they only rise as it goes, and only log_sum_add feeds
                // the sums here).
                const auto threshold = [](const log_sum &x) {
                    return x.max - (x.sum >= 1.0 ? 40.0 : 746.0);
                };
                double skip = threshold(total);
                for (int j = 0; j < n - 1; ++j)
                    if (j < block_bits || (first >> j & 1))
                        skip = std::min(skip, threshold(arc[size_t(j)]));
                for (size_t k = 0; k < bl; ++k) {
                    if (w[k] == minus_inf || w[k] < skip)
                        continue;
                    log_sum_add(total, w[k]);
                    for (uint64_t rest = first + k; rest != 0; rest &= rest - 1)
                        log_sum_add(arc[size_t(__builtin_ctzll(rest))], w[k]);
                }
            }
        }
        close_input(in, name);
        if (total.max == minus_inf)
            fail(name, "every network has the weight zero (all scores -inf)");
        free(name);
        for (int j = 0; j < n - 1; ++j) {
            const int u = j < v ? j : j + 1;   // parset bit j is variable u
            const double x = log_sum_ratio(arc[size_t(j)], total);
            if (!(x >= 0.0))   // NaN: only a damaged sum file gives one
                fail(fwdfile, "a sum that is not a number (damaged forward or backward sums?)");
            prob[size_t(u) * size_t(n) + size_t(v)] = x < 1.0 ? x : 1.0;
        }
    }
    free_populated(g, sizeof(double) * records);
}

} // namespace

// From 14 variables on, two threads take the even and the odd variables,
// each with a weight table of 2^(n-1) doubles: together one table of 2^n,
// as in sum_leaf_tables.  The probabilities do not depend on it.
void weigh_arcs(int nof_vars, const char *dirname, const char *fwdfile, const char *bwdfile,
                std::vector<double> &prob)
{
    const int n = nof_vars > 0 ? nof_vars : 0;
    prob.assign(size_t(n) * size_t(n), 0.0);
    if (n <= 1)
        return;
    const uint64_t bytes = (uint64_t(1) << n) * sizeof(double);
    sum_files sums;
    sums.fwd = fopen_checked(fwdfile, "rb");
    sums.bwd = fopen_checked(bwdfile, "rb");
    check_input_size(sums.fwd, bytes, fwdfile);
    check_input_size(sums.bwd, bytes, bwdfile);
    map_input(&sums.fwd_map, sums.fwd, bytes, fwdfile);
    map_input(&sums.bwd_map, sums.bwd, bytes, bwdfile);
    if (n < 14 || std::thread::hardware_concurrency() < 2) {
        weigh_some(n, 0, 1, true, dirname, fwdfile, bwdfile, sums, prob);
    } else {
        std::thread odd(
            [&] { weigh_some(n, 1, 2, false, dirname, fwdfile, bwdfile, sums, prob); });
        weigh_some(n, 0, 2, false, dirname, fwdfile, bwdfile, sums, prob);
        odd.join();
    }
    unmap_input(&sums.fwd_map);
    unmap_input(&sums.bwd_map);
    close_input(sums.fwd, fwdfile);
    close_input(sums.bwd, bwdfile);
}

int main(int argc, char **argv)
{
    ignore_file_size_signal();
    if (argc != 6) {
        fputs("Usage: weigh_arcs nof_vars dirname fwdfile bwdfile probfile\n", stderr);
        return 1;
    }
    program_name = "weigh_arcs";
    int nof_vars = parse_nof_vars(argv[1]);
    check_nof_vars(nof_vars, below_one::zero_only);
    std::vector<double> prob;
    weigh_arcs(nof_vars, argv[2], argv[3], argv[4], prob);

    const char *probfile = argv[5];
    FILE *out = open_output(probfile, "w");
    for (int u = 0; u < nof_vars; ++u)
        for (int v = 0; v < nof_vars; ++v) {
            errno = 0;
            if (fprintf(out, "%.17g%c", prob[size_t(u) * size_t(nof_vars) + size_t(v)],
                        v + 1 < nof_vars ? ' ' : '\n') < 0)
                fail_errno(probfile);
        }
    close_output(out, probfile);
    commit_output(probfile);
    return 0;
}
