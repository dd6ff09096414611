// Reading and writing the model programs' files, and the command line of
// the programs in learn/ (model_files.h).
#include "model_files.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "files.h"

namespace {

std::vector<std::string> split_tabs(const std::string &line)
{
    std::vector<std::string> out;
    size_t pos = 0;
    for (;;) {
        size_t tab = line.find('\t', pos);
        out.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
        if (tab == std::string::npos)
            return out;
        pos = tab + 1;
    }
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        pos = eol + 1;
    }
    return lines;
}

[[noreturn]] void fail_line(const char *path, size_t line, const std::string &reason)
{
    fail(path, ("line " + std::to_string(line) + ": " + reason).c_str());
}

// A count field: decimal digits only, at most max.
uint64_t parse_count(const std::string &s, uint64_t max, const char *path, size_t line)
{
    if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos)
        fail_line(path, line, "'" + s + "' is not a count");
    uint64_t v = std::strtoull(s.c_str(), nullptr, 10);
    if (v > max)
        fail_line(path, line, "'" + s + "' is out of range");
    return v;
}

double parse_number(const std::string &s, const char *path, size_t line)
{
    char *end = nullptr;
    errno = 0;
    double v = s.empty() ? 0 : std::strtod(s.c_str(), &end);
    if (s.empty() || end != s.c_str() + s.size() || !std::isfinite(v))
        fail_line(path, line, "'" + s + "' is not a number");
    return v;
}

} // namespace

std::string escape_field(const std::string &s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\\': out += "\\\\"; break;
        default: out += c;
        }
    }
    return out;
}

std::string unescape_field(const std::string &s)
{
    std::string out;
    for (size_t k = 0; k < s.size(); ++k) {
        if (s[k] != '\\' || k + 1 == s.size()) {
            out += s[k];
            continue;
        }
        char c = s[++k];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

std::string read_text(const char *path)
{
    return read_whole(open_input_or_stdin(path, "rb"), input_name(path));
}

void write_text(const char *path, const std::string &text)
{
    bool std_out = std::strcmp(path, "-") == 0;
    const char *name = std_out ? "standard output" : path;
    FILE *f = std_out ? stdout : open_output_staged(path, "w");
    errno = 0;
    if (fwrite(text.data(), 1, text.size(), f) != text.size())
        fail_errno(name);
    close_output(f, name);
    if (!std_out)
        commit_output(path);
}

std::vector<variable> read_vd(const char *path)
{
    std::vector<variable> vars;
    std::vector<std::string> lines = lines_of(read_text(path));
    for (size_t k = 0; k < lines.size(); ++k) {
        std::vector<std::string> f = split_tabs(lines[k]);
        if (f.size() < 2 || f[0].empty())
            fail_line(path, k + 1, "expected a name, an arity and the labels");
        variable v;
        v.name = unescape_field(f[0]);
        uint64_t r = parse_count(f[1], UINT32_MAX, path, k + 1);
        if (f.size() != r + 2)
            fail_line(path, k + 1, "the arity " + f[1] + " does not match the " +
                                       std::to_string(f.size() - 2) + " labels");
        for (size_t s = 2; s < f.size(); ++s)
            v.states.push_back(unescape_field(f[s]));
        vars.push_back(std::move(v));
    }
    if (vars.empty())
        fail(path, "no variables");
    return vars;
}

std::vector<uint32_t> read_network(const char *path, int n)
{
    std::string text = read_text(path);
    std::vector<uint32_t> parents;
    size_t pos = 0;
    for (;;) {
        pos = text.find_first_not_of(" \t\r\n", pos);
        if (pos == std::string::npos)
            break;
        size_t end = text.find_first_of(" \t\r\n", pos);
        std::string tok = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end;
        if (tok.size() > 10 || tok.find_first_not_of("0123456789") != std::string::npos ||
            std::strtoull(tok.c_str(), nullptr, 10) > UINT32_MAX)
            failf(path, "value %zu ('%s') is not a parent set", parents.size() + 1, tok.c_str());
        parents.push_back(uint32_t(std::strtoul(tok.c_str(), nullptr, 10)));
        if (end == std::string::npos)
            break;
    }
    if (parents.size() != size_t(n))
        failf(path, "%zu parent sets for %d variables", parents.size(), n);
    for (int i = 0; i < n; ++i) {
        uint64_t outside = n >= 32 ? 0 : ~((uint64_t(1) << n) - 1);
        if ((parents[size_t(i)] & outside) != 0)
            failf(path, "variable %d has a parent outside 0 to %d", i, n - 1);
        if ((parents[size_t(i)] >> i) & 1)
            failf(path, "variable %d is its own parent", i);
    }
    // Acyclic: repeatedly take a variable whose parents are all placed.
    uint64_t placed = 0;
    for (int round = 0; round < n; ++round) {
        int found = -1;
        for (int i = 0; i < n && found < 0; ++i)
            if (!((placed >> i) & 1) && (parents[size_t(i)] & ~placed) == 0)
                found = i;
        if (found < 0)
            fail(path, "the network has a cycle");
        placed |= uint64_t(1) << found;
    }
    return parents;
}

std::vector<arc> arcs_of(const std::vector<uint32_t> &parents)
{
    std::vector<arc> out;
    for (size_t i = 0; i < parents.size(); ++i)
        for (int p = 0; p < 32; ++p)
            if ((parents[i] >> p) & 1)
                out.push_back({p, int(i)});
    return out;
}

std::vector<typed_arc> read_arc_types(const char *path)
{
    std::vector<typed_arc> out;
    std::vector<std::string> lines = lines_of(read_text(path));
    for (size_t k = 0; k < lines.size(); ++k) {
        if (lines[k].empty())
            continue;
        char type[16];
        int from, to, used = 0;
        if (std::sscanf(lines[k].c_str(), "%d %d %15s%n", &from, &to, type, &used) != 3 ||
            size_t(used) != lines[k].size() || from < 0 || to < 0 ||
            (std::strcmp(type, "compelled") != 0 && std::strcmp(type, "reversible") != 0))
            fail_line(path, k + 1, "expected '<parent> <child> compelled|reversible'");
        out.push_back({from, to, std::strcmp(type, "reversible") == 0});
    }
    return out;
}

parameters read_parameters(const char *path)
{
    std::vector<std::string> lines = lines_of(read_text(path));
    parameters par;
    size_t k = 0;
    auto next = [&](const char *what) {
        if (k >= lines.size())
            fail(path, (std::string("unexpected end of file, expected ") + what).c_str());
        ++k;
        return split_tabs(lines[k - 1]);
    };
    std::vector<std::string> f = next("the header");
    if (f.size() != 5 || f[0] != "parameters" || (f[1] != "bayes" && f[1] != "mle"))
        fail_line(path, k, "expected 'parameters <bayes|mle> <ess> <rows> <variables>'");
    par.method = f[1];
    par.ess = parse_number(f[2], path, k);
    par.nof_rows = parse_count(f[3], UINT64_MAX / 2, path, k);
    size_t n = parse_count(f[4], 1 << 20, path, k);
    for (size_t i = 0; i < n; ++i) {
        f = next("a variable line");
        if (f.size() < 3 || f[0] != "variable" || f[1].empty())
            fail_line(path, k, "expected 'variable <name> <arity> <states>'");
        uint64_t r = parse_count(f[2], UINT32_MAX, path, k);
        if (r == 0 || f.size() != r + 3)
            fail_line(path, k, "the arity does not match the states");
        variable v;
        v.name = unescape_field(f[1]);
        for (size_t s = 3; s < f.size(); ++s)
            v.states.push_back(unescape_field(f[s]));
        par.vars.push_back(std::move(v));
    }
    for (size_t i = 0; i < n; ++i) {
        f = next("a table line");
        if (f.size() < 3 || f[0] != "table" || parse_count(f[1], n, path, k) != i)
            fail_line(path, k, "expected 'table " + std::to_string(i) + " <k> <parents>'");
        size_t np = parse_count(f[2], n, path, k);
        if (f.size() != np + 3)
            fail_line(path, k, "the number of parents does not match");
        cpt t;
        uint64_t q = 1;
        for (size_t j = 0; j < np; ++j) {
            size_t p = parse_count(f[3 + j], n - 1, path, k);
            if (p == i || (j > 0 && int(p) <= t.parents.back()))
                fail_line(path, k, "parents must be other variables, ascending");
            t.parents.push_back(int(p));
            q *= par.vars[p].states.size();
            if (q > (uint64_t(1) << 32))
                fail_line(path, k, "too many parent configurations");
        }
        const size_t r = par.vars[i].states.size();
        for (uint64_t j = 0; j < q; ++j) {
            f = next("a row of probabilities");
            if (f.size() != r)
                fail_line(path, k, "expected " + std::to_string(r) + " probabilities");
            double sum = 0;
            for (const auto &s : f) {
                double p = parse_number(s, path, k);
                if (p < 0 || p > 1)
                    fail_line(path, k, "'" + s + "' is not a probability");
                t.probs.push_back(p);
                sum += p;
            }
            if (std::fabs(sum - 1) > 1e-9)
                fail_line(path, k, "the row does not sum to 1");
        }
        par.tables.push_back(std::move(t));
    }
    if (k != lines.size())
        fail_line(path, k + 1, "unexpected text after the last table");
    return par;
}

std::string exact_number(double x)
{
    char buf[40];
    snprintf(buf, sizeof buf, "%.17g", x);
    return buf;
}

std::string csv_field(const std::string &s)
{
    bool quote = s.find_first_of(",\"\r\n") != std::string::npos ||
                 (!s.empty() && (s.front() == ' ' || s.back() == ' '));
    if (!quote)
        return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::vector<std::vector<std::string>> parse_csv(const std::string &text, const char *name)
{
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> rec;
    std::string fieldtext;
    size_t pos = 0, line = 1;
    const size_t n = text.size();
    bool any = false;
    while (pos < n) {
        char c = text[pos];
        if (c == '"' && fieldtext.empty()) {
            size_t start = line;
            ++pos;
            for (;;) {
                if (pos >= n)
                    fail_line(name, start, "quoted field is not closed");
                char d = text[pos++];
                if (d == '"') {
                    if (pos < n && text[pos] == '"') {
                        fieldtext += '"';
                        ++pos;
                        continue;
                    }
                    break;
                }
                if (d == '\n')
                    ++line;
                fieldtext += d;
            }
            any = true;
            if (pos < n && text[pos] != ',' && text[pos] != '\n' && text[pos] != '\r')
                fail_line(name, line, "unexpected character after a closing quote");
            continue;
        }
        ++pos;
        if (c == ',') {
            rec.push_back(fieldtext);
            fieldtext.clear();
            any = true;
        } else if (c == '\n' || (c == '\r' && (pos == n || text[pos] == '\n'))) {
            if (c == '\r' && pos < n)
                ++pos;
            if (any || !fieldtext.empty()) {
                rec.push_back(fieldtext);
                records.push_back(rec);
            }
            rec.clear();
            fieldtext.clear();
            any = false;
            ++line;
        } else {
            fieldtext += c;
            any = true;
        }
    }
    if (any || !fieldtext.empty()) {
        rec.push_back(fieldtext);
        records.push_back(rec);
    }
    return records;
}

CLI::App tool_command_line(const char *name, const char *description)
{
    program_name = name;
    ignore_file_size_signal();
    return CLI::App(description, name);
}

void parse_command_line(CLI::App &app, int argc, char **argv, const char *usage_line,
                        const char *help_text)
{
    if (help_text != nullptr)
        app.set_help_flag("--help");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        fputs(help_text != nullptr ? help_text : app.help().c_str(), stdout);
        exit(fflush(stdout) == 0 && !ferror(stdout) ? 0 : 2);
    } catch (const CLI::ParseError &e) {
        fprintf(stderr, "%s: %s\n%s", program_name, e.what(), usage_line);
        exit(1);
    }
}

std::vector<std::string> parse_with_arguments(CLI::App &app, int argc, char **argv,
                                              const char *usage_line, const std::string &help_text,
                                              size_t nof_args)
{
    std::vector<std::string> args;
    app.add_option("args", args);
    parse_command_line(app, argc, argv, usage_line, help_text.c_str());
    if (args.size() != nof_args) {
        fputs(usage_line, stderr);
        exit(1);
    }
    return args;
}

std::string dot_escape(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            if (c != '\r')
                out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}
