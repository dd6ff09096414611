// Splitting delimited text into records and fields, and choosing the
// delimiter (csv_text.h).
#include "csv_text.h"

#include <cstdio>

#include "files.h"

void fail_at(const char *name, size_t line, size_t column, const std::string &what,
             const std::string &reason)
{
    std::string msg = "line " + std::to_string(line);
    if (column != 0)
        msg += ", column " + std::to_string(column);
    if (!what.empty())
        msg += " (" + what + ")";
    msg += ": " + reason;
    fail(name, msg.c_str());
}

namespace {

// Whether a record ends at pos: a line feed, a CRLF or a carriage return
// that ends the text.
inline bool at_line_end(const std::string &text, size_t pos)
{
    const size_t n = text.size();
    return text[pos] == '\n' || (text[pos] == '\r' && (pos + 1 == n || text[pos + 1] == '\n'));
}

// Steps over the line end at pos (if any), counting the line.
inline void skip_line_end(const std::string &text, size_t &pos, size_t &line)
{
    if (text[pos] == '\r')
        ++pos;
    if (pos < text.size() && text[pos] == '\n')
        ++pos;
    ++line;
}

// The number of fields of the record at pos read with delim, as
// next_record() splits it, without failing: an unclosed quote ends the
// record and the text.  stray is set when a quote stands inside a field not
// quoted, or after a closing quote: a sign that delim is not the separator.
size_t count_fields(const std::string &text, size_t &pos, char delim, bool &stray)
{
    const size_t n = text.size();
    size_t fields = 1;
    bool field_start = true;
    while (pos < n) {
        char c = text[pos];
        if (field_start && c == '"') {
            for (++pos; pos < n; ++pos) {
                if (text[pos] == '"') {
                    if (pos + 1 < n && text[pos + 1] == '"')
                        ++pos;
                    else
                        break;
                }
            }
            ++pos;
            field_start = false;
            if (pos < n && text[pos] != delim && !at_line_end(text, pos))
                stray = true;
            continue;
        }
        field_start = false;
        if (c == '"')
            stray = true;
        if (c == delim) {
            ++fields;
            field_start = true;
            ++pos;
            continue;
        }
        if (at_line_end(text, pos)) {
            size_t line = 0;
            skip_line_end(text, pos, line);
            return fields;
        }
        ++pos;
    }
    return fields;
}

} // namespace

bool next_record(const std::string &text, size_t &pos, size_t &line, char delim,
                 std::vector<field> &fields, const char *name)
{
    fields.clear();
    if (pos >= text.size())
        return false;
    const size_t n = text.size();
    for (;;) {
        field f{"", line, false};
        if (pos < n && text[pos] == '"') {
            size_t column = fields.size() + 1, start_line = line;
            f.quoted = true;
            ++pos;
            for (;;) {
                if (pos >= n)
                    fail_at(name, start_line, column, "", "quoted field is not closed");
                char c = text[pos++];
                if (c == '"') {
                    if (pos < n && text[pos] == '"') {
                        f.text += '"';
                        ++pos;
                    } else {
                        break;
                    }
                } else {
                    if (c == '\n')
                        ++line;
                    f.text += c;
                }
            }
            if (pos < n && text[pos] != delim && !at_line_end(text, pos))
                fail_at(name, line, column, "", "unexpected character after a closing quote");
        } else {
            size_t start = pos;
            while (pos < n && text[pos] != delim && !at_line_end(text, pos))
                ++pos;
            f.text.assign(text, start, pos - start);
        }
        fields.push_back(std::move(f));
        if (pos >= n)
            return true;
        if (text[pos] == delim) {
            ++pos;
            continue;
        }
        skip_line_end(text, pos, line);
        return true;
    }
}

bool blank_record(const std::vector<field> &fields)
{
    return fields.size() == 1 && fields[0].text.empty();
}

char detect_delimiter(const std::string &text, size_t start)
{
    constexpr size_t sample = 50;
    const char candidates[] = {',', '\t', ';'};
    char best = ',', widest = ',';
    size_t best_fields = 0, widest_fields = 1;
    for (char delim : candidates) {
        size_t pos = start, header = 0, seen = 0;
        bool consistent = true;
        while (pos < text.size() && seen < sample) {
            const size_t before = pos;
            bool stray = false;
            size_t fields = count_fields(text, pos, delim, stray);
            consistent = consistent && !stray;
            if (fields == 1 && (text[before] == '\n' || text[before] == '\r'))
                continue;  // an empty line
            if (seen++ == 0)
                header = fields;
            else if (fields != header)
                consistent = false;
        }
        if (header > widest_fields) {
            widest = delim;
            widest_fields = header;
        }
        if (consistent && header > 1 && header > best_fields) {
            best = delim;
            best_fields = header;
        }
    }
    return best_fields != 0 ? best : widest;
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}
