// write_model_files: a fitted network (the parameter file of fit_parameters)
// in the two exchange formats that Bayesian-network tools read: BIF 0.15
// text and XMLBIF 0.3.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "files.h"
#include "model_files.h"

namespace {

const char usage_line[] = "Usage: write_model_files [options] PARAMFILE\n";
const char description[] =
    "Writes the fitted network of PARAMFILE (written by fit_parameters) as BIF\n"
    "0.15 text and as XMLBIF 0.3.  In BIF, names and states that are not\n"
    "valid words (letters, digits, '_', '-', not starting with a digit) are\n"
    "replaced by unique valid ones, the original kept in a property line.";

struct options {
    std::string paramfile, bif, xml;
};

// ---- BIF -----------------------------------------------------------------

bool word_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-';
}

bool reserved(const std::string &s)
{
    static const char *const words[] = {"network", "variable", "probability", "property",
                                        "type",    "discrete", "default",     "table"};
    std::string lower;
    for (char c : s)
        lower += char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const char *w : words)
        if (lower == w)
            return true;
    return false;
}

bool valid_word(const std::string &s)
{
    if (s.empty() || (s[0] >= '0' && s[0] <= '9') || reserved(s))
        return false;
    for (char c : s)
        if (!word_char(c))
            return false;
    return true;
}

// Valid BIF words for the given texts, unique among them: a valid text stays,
// any other gets its characters outside letters, digits, '_' and '-'
// replaced by '_' (one per UTF-8 character), prefix before a leading digit,
// '_' after a keyword, and _2, _3, ... until it differs from all others.
std::vector<std::string> bif_words(const std::vector<std::string> &texts, const char *prefix)
{
    std::set<std::string> used;
    for (const auto &t : texts)
        if (valid_word(t))
            used.insert(t);
    std::vector<std::string> out;
    for (const auto &t : texts) {
        if (valid_word(t)) {
            out.push_back(t);
            continue;
        }
        std::string w;
        for (char c : t) {
            if (word_char(c))
                w += c;
            else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
                w += '_'; // a continuation byte belongs to the character before
        }
        if (w.empty() || (w[0] >= '0' && w[0] <= '9'))
            w = prefix + w;
        if (reserved(w))
            w += '_';
        std::string candidate = w;
        for (int k = 2; used.count(candidate) != 0; ++k)
            candidate = w + "_" + std::to_string(k);
        used.insert(candidate);
        out.push_back(candidate);
    }
    return out;
}

// A quoted property value: backslash escapes for \ " and control
// characters, and for ; { } that readers take as the end of a statement or
// block.
std::string bif_string(const std::string &s)
{
    std::string out = "\"";
    char buf[8];
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (u < 0x20 || u == 0x7f || c == ';' || c == '{' || c == '}') {
            snprintf(buf, sizeof buf, "\\x%02x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string list(const std::vector<std::string> &items, const char *sep)
{
    std::string out;
    for (size_t k = 0; k < items.size(); ++k)
        out += (k ? sep : "") + items[k];
    return out;
}

std::string write_bif(const parameters &par)
{
    std::vector<std::string> names;
    for (const auto &v : par.vars)
        names.push_back(v.name);
    std::vector<std::string> words = bif_words(names, "v");
    std::vector<std::vector<std::string>> states;
    for (const auto &v : par.vars)
        states.push_back(bif_words(v.states, "s"));
    std::string out = "network unknown {\n}\n";
    for (size_t i = 0; i < par.vars.size(); ++i) {
        out += "variable " + words[i] + " {\n  type discrete [ " +
               std::to_string(states[i].size()) + " ] { " + list(states[i], ", ") + " };\n";
        if (words[i] != par.vars[i].name)
            out += "  property original = " + bif_string(par.vars[i].name) + ";\n";
        for (size_t s = 0; s < states[i].size(); ++s)
            if (states[i][s] != par.vars[i].states[s])
                out += "  property original_state_" + std::to_string(s + 1) + " = " +
                       bif_string(par.vars[i].states[s]) + ";\n";
        out += "}\n";
    }
    for (size_t i = 0; i < par.vars.size(); ++i) {
        const cpt &t = par.tables[i];
        const size_t r = par.vars[i].states.size();
        std::vector<std::string> given;
        for (int p : t.parents)
            given.push_back(words[size_t(p)]);
        out += "probability ( " + words[i] + (given.empty() ? "" : " | " + list(given, ", ")) +
               " ) {\n";
        const size_t q = t.probs.size() / r;
        for (size_t j = 0; j < q; ++j) {
            std::vector<std::string> probs, config(t.parents.size());
            for (size_t k = 0; k < r; ++k)
                probs.push_back(exact_number(t.probs[j * r + k]));
            size_t rest = j;
            for (size_t m = t.parents.size(); m-- > 0;) {
                const auto &ps = states[size_t(t.parents[m])];
                config[m] = ps[rest % ps.size()];
                rest /= ps.size();
            }
            out += given.empty() ? "  table " : "  (" + list(config, ", ") + ") ";
            out += list(probs, ", ") + ";\n";
        }
        out += "}\n";
    }
    return out;
}

// ---- XMLBIF --------------------------------------------------------------

// Text content escaped for XML 1.0: markup characters as entities, tab,
// line feed and carriage return as character references (a reader would
// otherwise fold them), other control characters (not allowed in XML 1.0)
// as '?', and a byte that is not part of valid UTF-8 read as Latin-1.
std::string xml_text(const std::string &s)
{
    std::string out;
    char buf[16];
    for (size_t k = 0; k < s.size(); ++k) {
        unsigned char u = static_cast<unsigned char>(s[k]);
        if (u >= 0x80) {
            size_t len = u >= 0xF0 && u < 0xF5 ? 4 : u >= 0xE0 ? 3 : u >= 0xC2 && u < 0xE0 ? 2 : 0;
            if (u >= 0xF5)
                len = 0;
            bool ok = len != 0 && k + len <= s.size();
            for (size_t m = 1; ok && m < len; ++m)
                ok = (static_cast<unsigned char>(s[k + m]) & 0xC0) == 0x80;
            if (ok) {
                out.append(s, k, len);
                k += len - 1;
            } else {
                snprintf(buf, sizeof buf, "&#x%X;", u);
                out += buf;
            }
            continue;
        }
        switch (s[k]) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default: out += u < 0x20 || u == 0x7f ? '?' : s[k];
        }
    }
    return out;
}

std::string write_xml(const parameters &par)
{
    // The format's document type, inline: validating readers ask for it.
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE BIF [\n"
                      "  <!ELEMENT BIF ( NETWORK )*>\n"
                      "  <!ATTLIST BIF VERSION CDATA #REQUIRED>\n"
                      "  <!ELEMENT NETWORK ( NAME, ( PROPERTY | VARIABLE | DEFINITION )* )>\n"
                      "  <!ELEMENT NAME (#PCDATA)>\n"
                      "  <!ELEMENT VARIABLE ( NAME, ( OUTCOME | PROPERTY )* ) >\n"
                      "  <!ATTLIST VARIABLE TYPE (nature|decision|utility) \"nature\">\n"
                      "  <!ELEMENT OUTCOME (#PCDATA)>\n"
                      "  <!ELEMENT DEFINITION ( FOR | GIVEN | TABLE | PROPERTY )* >\n"
                      "  <!ELEMENT FOR (#PCDATA)>\n"
                      "  <!ELEMENT GIVEN (#PCDATA)>\n"
                      "  <!ELEMENT TABLE (#PCDATA)>\n"
                      "  <!ELEMENT PROPERTY (#PCDATA)>\n"
                      "]>\n"
                      "<BIF VERSION=\"0.3\">\n<NETWORK>\n<NAME>network</NAME>\n";
    for (const auto &v : par.vars) {
        out += "<VARIABLE TYPE=\"nature\">\n  <NAME>" + xml_text(v.name) + "</NAME>\n";
        for (const auto &s : v.states)
            out += "  <OUTCOME>" + xml_text(s) + "</OUTCOME>\n";
        out += "</VARIABLE>\n";
    }
    for (size_t i = 0; i < par.vars.size(); ++i) {
        out += "<DEFINITION>\n  <FOR>" + xml_text(par.vars[i].name) + "</FOR>\n";
        for (int p : par.tables[i].parents)
            out += "  <GIVEN>" + xml_text(par.vars[size_t(p)].name) + "</GIVEN>\n";
        out += "  <TABLE>";
        const auto &probs = par.tables[i].probs;
        for (size_t k = 0; k < probs.size(); ++k)
            out += (k ? " " : "") + exact_number(probs[k]);
        out += "</TABLE>\n</DEFINITION>\n";
    }
    return out + "</NETWORK>\n</BIF>\n";
}

int write_model_files(const options &opt)
{
    parameters par = read_parameters(opt.paramfile.c_str());
    if (!opt.bif.empty())
        write_text(opt.bif.c_str(), write_bif(par));
    if (!opt.xml.empty())
        write_text(opt.xml.c_str(), write_xml(par));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    options opt;
    CLI::App app = tool_command_line("write_model_files", description);
    app.add_option("PARAMFILE", opt.paramfile, "parameter file")->required();
    app.add_option("--bif", opt.bif, "write BIF to FILE ('-': standard output)");
    app.add_option("--xml", opt.xml, "write XMLBIF to FILE ('-': standard output)");
    parse_command_line(app, argc, argv, usage_line);
    if (opt.bif.empty() && opt.xml.empty()) {
        fprintf(stderr, "%s: nothing to write: give --bif, --xml or both\n%s", program_name,
                usage_line);
        return 1;
    }
    return write_model_files(opt);
}
