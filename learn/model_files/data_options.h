// The options that say how a data file is read, shared by the programs that
// read the data through the scorer's reader: every program reads the same
// rows as the scorer when given the same options.
#pragma once
#include <CLI/CLI.hpp>
#include <string>

#include "family_scores.h"

inline void add_data_options(CLI::App &app, read_options &opt)
{
    app.add_option_function<std::string>(
           "--delimiter",
           [&opt](const std::string &v) {
               if (v == "tab" || v == "\\t")
                   opt.delimiter = '\t';
               else if (v == "comma")
                   opt.delimiter = ',';
               else if (v.size() == 1 && v[0] != '"' && v[0] != '\n' && v[0] != '\r')
                   opt.delimiter = v[0];
               else
                   throw CLI::ValidationError("--delimiter", "expected one character, 'tab' or 'comma'");
           },
           "field separator: one character, 'tab' or 'comma' (default: detected)")
        ->type_name("C");
    app.add_option_function<std::string>(
           "--missing",
           [&opt](const std::string &v) {
               if (v == "drop")
                   opt.drop_missing = true;
               else if (v == "error")
                   opt.drop_missing = false;
               else
                   throw CLI::ValidationError("--missing", "expected error or drop");
           },
           "error (default) or drop: drop the rows with a missing value")
        ->type_name("error|drop");
}
