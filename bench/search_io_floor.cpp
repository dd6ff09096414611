// The I/O floor of the two heavy search stages: the same bytes read and
// written as the stage moves, with no computation in between.
//
//   search_io_floor families N DIR   reads DIR/<i>, writes DIR/<i>.fbps and
//                                    DIR/<i>.fbss of the output sizes
//   search_io_floor sinks N DIR      reads every DIR/<i>.bss in 256 KiB
//                                    blocks, writes 2^N bytes to DIR/fsink
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files.h"

int main(int argc, char **argv)
{
    if (argc != 4) {
        fputs("Usage: search_io_floor families|sinks nof_vars dirname\n", stderr);
        return 1;
    }
    program_name = "search_io_floor";
    const int n = atoi(argv[2]);
    const char *dir = argv[3];
    const size_t count = size_t(1) << (n - 1);
    if (strcmp(argv[1], "families") == 0) {
        std::vector<double> score(count);
        std::vector<uint32_t> best(count);
        for (int i = 0; i < n; ++i) {
            FILE *in = open_file_checked(dir, i, "", "rb");
            read_records(in, score.data(), sizeof(double), count, dir);
            fclose(in);
            for (const char *ext : {".fbps", ".fbss"}) {
                FILE *out = open_file_checked(dir, i, ext, "wb");
                setvbuf(out, nullptr, _IONBF, 0);
                if (ext[2] == 'b')
                    write_records(out, best.data(), sizeof(uint32_t), count, ext);
                else
                    write_records(out, score.data(), sizeof(double), count, ext);
                close_output(out, ext);
            }
        }
    } else {
        FILE **in = open_files_checked(n, dir, ".bss", "rb");
        std::vector<double> block(32 * 1024);
        for (int i = 0; i < n; ++i)
            for (size_t done = 0; done < count; done += block.size())
                read_records(in[i], block.data(), sizeof(double),
                             std::min(block.size(), count - done), "bss");
        free_files(n, in);
        std::string path = std::string(dir) + "/fsink";
        FILE *out = fopen_checked(path.c_str(), "wb");
        setvbuf(out, nullptr, _IONBF, 0);
        std::vector<unsigned char> bytes(256 * 1024);
        for (size_t done = 0; done < 2 * count; done += bytes.size())
            write_records(out, bytes.data(), 1, std::min(bytes.size(), 2 * count - done), "fsink");
        close_output(out, path.c_str());
    }
    return 0;
}
