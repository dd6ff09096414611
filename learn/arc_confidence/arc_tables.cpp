#include "arc_tables.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <unistd.h>

#include "files.h"

std::vector<std::string> read_names(const char *vdfile)
{
    FILE *f = fopen_checked(vdfile, "r");
    std::vector<std::string> names;
    std::string line;
    int c;
    bool pending = false;
    auto finish_line = [&] {
        size_t at = line.find_first_not_of("\t\r");
        std::string field = at == std::string::npos ? "" : line.substr(at);
        field = field.substr(0, field.find_first_of("\t\r"));
        std::string name;
        for (size_t k = 0; k < field.size(); ++k) {
            if (field[k] == '\\' && k + 1 < field.size()) {
                char e = field[++k];
                name += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
            } else {
                name += field[k];
            }
        }
        names.push_back(name.empty() ? std::to_string(names.size()) : name);
        line.clear();
    };
    errno = 0;
    while ((c = fgetc(f)) != EOF) {
        pending = true;
        if (c == '\n') {
            finish_line();
            pending = false;
        } else {
            line += char(c);
        }
    }
    if (ferror(f))
        fail_errno(vdfile);
    if (pending)
        finish_line();
    fclose(f);
    return names;
}

std::vector<uint32_t> read_network(const char *netfile, int nof_vars)
{
    FILE *f = fopen_checked(netfile, "r");
    std::vector<uint32_t> parents(static_cast<size_t>(nof_vars));
    const uint64_t range = uint64_t(1) << nof_vars;
    for (int i = 0; i < nof_vars; ++i) {
        unsigned long long x;
        int got = fscanf(f, "%llu", &x);
        if (got != 1) {
            if (ferror(f))
                fail_errno(netfile);
            failf(netfile, "line %d: expected a parent set (%d lines needed)", i + 1, nof_vars);
        }
        if (x >= range || (x >> i & 1))
            failf(netfile, "line %d: %llu is no parent set of variable %d of %d", i + 1, x, i,
                  nof_vars);
        parents[size_t(i)] = uint32_t(x);
    }
    int c;
    while ((c = fgetc(f)) != EOF)
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r')
            failf(netfile, "more than %d parent sets", nof_vars);
    if (ferror(f))
        fail_errno(netfile);
    fclose(f);
    // Acyclic: variables whose parents are all placed are placed, until
    // none is left.
    uint64_t placed = 0;
    for (bool progress = true; progress;) {
        progress = false;
        for (int i = 0; i < nof_vars; ++i)
            if (!(placed >> i & 1) && (parents[size_t(i)] & ~placed) == 0) {
                placed |= uint64_t(1) << i;
                progress = true;
            }
    }
    if (placed != range - 1)
        fail(netfile, "the network has a cycle");
    return parents;
}

std::string csv_field(const std::string &s)
{
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"')
            q += '"';
        q += c;
    }
    return q + "\"";
}

csv_output open_output(const std::string &path)
{
    csv_output out{path, nullptr};
    out.file = open_output_staged(path.c_str(), "w");
    return out;
}

void put_line(csv_output &out, const std::string &line)
{
    errno = 0;
    if (fwrite(line.data(), 1, line.size(), out.file) != line.size() ||
        fputc('\n', out.file) == EOF)
        fail_errno(out.path.c_str());
}

void close_output(csv_output &out)
{
    close_output(out.file, out.path.c_str());
    commit_output(out.path.c_str());
}

std::string exact_number(double x)
{
    char buf[40];
    snprintf(buf, sizeof buf, "%.17g", x);
    return buf;
}
