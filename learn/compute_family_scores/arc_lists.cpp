// The --forbid and --require files read into arcs, and the check that the
// constraints admit a network (arc_lists.h).
#include "arc_lists.h"

#include <string>
#include <vector>

#include "csv_text.h"
#include "files.h"

namespace {

// The record as a list of names: trimmed unquoted fields, quoted ones as
// written.
std::vector<std::string> names_of(const std::vector<field> &fields)
{
    std::vector<std::string> out;
    for (const auto &f : fields)
        out.push_back(f.quoted ? f.text : trim(f.text));
    return out;
}

bool is_blank(const std::vector<field> &fields)
{
    return fields.size() == 1 && trim(fields[0].text).empty() && !fields[0].quoted;
}

// The text with every line that starts with # (after blanks) emptied, so
// that the lines keep their numbers.
std::string without_comments(const std::string &text)
{
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        eol = eol == std::string::npos ? text.size() : eol + 1;
        const size_t first = text.find_first_not_of(" \t", pos);
        if (first < eol && text[first] == '#')
            out += text[eol - 1] == '\n' ? "\n" : "";
        else
            out.append(text, pos, eol - pos);
        pos = eol;
    }
    return out;
}

int index_of(const data_set &data, const std::string &name)
{
    for (size_t c = 0; c < data.names.size(); ++c)
        if (data.names[c] == name)
            return int(c);
    return -1;
}

} // namespace

std::vector<std::pair<int, int>> read_arcs(const char *path, const data_set &data)
{
    std::vector<std::pair<int, int>> arcs;
    const std::string text = without_comments(read_whole(fopen_checked(path, "rb"), path));
    size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0, line = 1;
    const char delim = detect_delimiter(text, pos);
    std::vector<field> fields;
    bool first = true, row_names = false;
    while (true) {
        const size_t start_line = line;
        if (!next_record(text, pos, line, delim, fields, path))
            break;
        if (is_blank(fields))
            continue;
        std::vector<std::string> names = names_of(fields);
        if (first) {
            first = false;
            // R's write.csv of a from/to table: "","from","to" then "1",a,b.
            if (names.size() == 3 && names[0].empty() && names[1] == "from" &&
                names[2] == "to") {
                row_names = true;
                continue;
            }
            if (names.size() == 2 && names[0] == "from" && names[1] == "to" &&
                (index_of(data, "from") < 0 || index_of(data, "to") < 0))
                continue;
        }
        if (row_names && names.size() == 3)
            names.erase(names.begin());
        if (names.size() != 2)
            fail_at(path, start_line, 0, "", "expected one 'parent,child' pair");
        int idx[2];
        for (int k = 0; k < 2; ++k) {
            idx[k] = index_of(data, names[size_t(k)]);
            if (idx[k] < 0)
                fail_at(path, start_line, 0, "", "unknown variable '" + names[size_t(k)] + "'");
        }
        if (idx[0] == idx[1])
            fail_at(path, start_line, 0, "", "an arc from '" + names[0] + "' to itself");
        arcs.push_back({idx[0], idx[1]});
    }
    return arcs;
}

void read_arc_list(const char *path, const data_set &data, varset *masks)
{
    for (const auto &[parent, child] : read_arcs(path, data))
        masks[child] |= varset(1) << parent;
}

void check_constraints(const data_set &data, const varset *forbidden, const varset *required,
                       int max_parents, const char *file)
{
    const int n = int(data.names.size());
    auto name = [&](int v) { return "'" + data.names[size_t(v)] + "'"; };
    for (int i = 0; i < n; ++i) {
        varset both = forbidden[i] & required[i];
        if (both != 0)
            fail(file, ("the arc " + name(__builtin_ctz(both)) + " -> " + name(i) +
                        " is both forbidden and required")
                           .c_str());
    }
    for (int i = 0; i < n; ++i) {
        const int count = __builtin_popcount(required[i]);
        if (max_parents >= 0 && count > max_parents)
            fail(file, ("the child " + name(i) + " has " + std::to_string(count) +
                        " required parents, more than --max-parents " +
                        std::to_string(max_parents))
                           .c_str());
    }
    // A cycle of required arcs: depth-first search, state 1 on the path.
    std::vector<int> state(size_t(n), 0), path;
    auto visit = [&](auto &self, int v) -> void {
        state[size_t(v)] = 1;
        path.push_back(v);
        for (varset p = required[v]; p != 0; p &= p - 1) {
            const int u = __builtin_ctz(p);
            if (state[size_t(u)] == 1) {
                // Each entry of path is a parent of the one before it, and u,
                // on the path, a parent of v: the cycle u -> v -> ... -> u.
                size_t k = path.size();
                while (path[k - 1] != u)
                    --k;
                std::string arcs = name(u) + " -> " + name(path.back());
                for (size_t j = path.size() - 1; j >= k; --j)
                    arcs += ", " + name(path[j]) + " -> " + name(path[j - 1]);
                fail(file, ("the required arcs " + arcs + " form a cycle").c_str());
            }
            if (state[size_t(u)] == 0)
                self(self, u);
        }
        path.pop_back();
        state[size_t(v)] = 2;
    };
    for (int v = 0; v < n; ++v)
        if (state[size_t(v)] == 0)
            visit(visit, v);
}
