// Draws samples from the eight-variable "Asia" chest-clinic network of
// Lauritzen and Spiegelhalter (1988) and writes them as CSV, labels yes/no.
//
//   sample_asia [nof_rows [seed]]     (defaults: 5000 rows, seed 20260101)
//
// The network and its conditional probabilities, P(variable = yes | parents):
//
//   asia   (visit to Asia)               0.01
//   smoke  (smoker)                      0.50
//   tub    (tuberculosis) | asia         asia=yes 0.05, asia=no 0.01
//   lung   (lung cancer)  | smoke        smoke=yes 0.10, smoke=no 0.01
//   bronc  (bronchitis)   | smoke        smoke=yes 0.60, smoke=no 0.30
//   either (tub or lung)  | tub, lung    logical OR: yes iff tub or lung is yes
//   xray   (positive X-ray) | either     either=yes 0.98, either=no 0.05
//   dysp   (dyspnoea)     | bronc, either
//                                        bronc=yes either=yes 0.90
//                                        bronc=yes either=no  0.80
//                                        bronc=no  either=yes 0.70
//                                        bronc=no  either=no  0.10
//
// The random numbers come from a splitmix64 generator of our own, so the
// output is the same on every platform for the same seed.  Columns are
// written in the order asia, tub, smoke, lung, bronc, either, xray, dysp.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "splitmix.h"

namespace {

// true with probability p
bool draw(double p)
{
    double u = double(next_random() >> 11) * 0x1.0p-53;
    return u < p;
}

const char *label(bool yes)
{
    return yes ? "yes" : "no";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 3) {
        fputs("Usage: sample_asia [nof_rows [seed]]\n", stderr);
        return 1;
    }
    long rows = argc > 1 ? strtol(argv[1], nullptr, 10) : 5000;
    random_state = argc > 2 ? strtoull(argv[2], nullptr, 10) : 20260101ULL;
    if (rows < 0) {
        fputs("sample_asia: nof_rows must not be negative\n", stderr);
        return 2;
    }
    printf("asia,tub,smoke,lung,bronc,either,xray,dysp\n");
    for (long r = 0; r < rows; ++r) {
        // Draw in a topological order of the network.
        bool asia = draw(0.01);
        bool smoke = draw(0.50);
        bool tub = draw(asia ? 0.05 : 0.01);
        bool lung = draw(smoke ? 0.10 : 0.01);
        bool bronc = draw(smoke ? 0.60 : 0.30);
        bool either = tub || lung;
        bool xray = draw(either ? 0.98 : 0.05);
        bool dysp = draw(bronc ? (either ? 0.90 : 0.80) : (either ? 0.70 : 0.10));
        printf("%s,%s,%s,%s,%s,%s,%s,%s\n", label(asia), label(tub), label(smoke), label(lung),
               label(bronc), label(either), label(xray), label(dysp));
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("sample_asia: standard output");
        return 2;
    }
    return 0;
}
