// Reads a macro stream the way m4 reads it with the quotes "[[" and "]]",
// for the converter's fuzz targets.  A stream is safe when, after the
// prelude, it is nothing but lines define(NAME,VALUE) whose arguments are
// quoted strings with at most a stray "]" between them: no unquoted word
// that m4 could take for a macro call, no comma or parenthesis that would
// change the arguments, no comment character.  A quoted string ends at the
// "]]" that brings its nesting back to zero; like m4, the scan tests for
// "]]" before "[[" at each position.
#pragma once

#include "report.h"
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace m4check {

struct Definition {
    std::string name;
    std::string value; // as m4 will hold it, quotes removed
};

[[noreturn]] inline void unsafe(const char *why, std::string_view at) {
    dprintf(fuzzreport::fd, "unsafe macro stream: %s at [%.*s]\n", why,
            int(std::min<size_t>(at.size(), 80)), at.data());
    abort();
}

// One argument at s[pos..]: quoted strings and stray "]"; ends before the
// ',' or ')' that follows.  Returns the argument's text.
inline std::string argument(std::string_view s, size_t &pos) {
    std::string arg;
    while (pos < s.size() && s[pos] != ',' && s[pos] != ')') {
        if (s.compare(pos, 2, "[[") == 0) {
            pos += 2;
            int depth = 1;
            for (;;) {
                if (pos >= s.size()) unsafe("quote left open", s.substr(pos));
                if (s.compare(pos, 2, "]]") == 0) {
                    pos += 2;
                    if (--depth == 0) break;
                    arg += "]]";
                } else if (s.compare(pos, 2, "[[") == 0) {
                    pos += 2;
                    depth++;
                    arg += "[[";
                } else {
                    arg += s[pos++];
                }
            }
        } else if (s[pos] == ']') {
            arg += s[pos++];
        } else {
            unsafe("unquoted text in an argument", s.substr(pos));
        }
    }
    return arg;
}

// Parses lines "define(A,B)\n" or "define(A)\n" from s[pos..] until the text ends or
// stops with something else; pos is left there.
inline std::vector<Definition> definitions(std::string_view s, size_t &pos) {
    std::vector<Definition> out;
    while (s.compare(pos, 7, "define(") == 0) {
        pos += 7;
        Definition d;
        d.name = argument(s, pos);
        // define(NAME) defines NAME as empty.
        if (pos < s.size() && s[pos] == ',') {
            pos++;
            d.value = argument(s, pos);
        }
        if (s.compare(pos, 2, ")\n") != 0) unsafe("define not closed by )\\n", s.substr(pos));
        pos += 2;
        for (char c : d.name)
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_'))
                unsafe("macro name with a byte other than a letter, digit or _", d.name);
        if (d.name.rfind("XX_", 0) != 0) unsafe("macro name without XX_", d.name);
        out.push_back(std::move(d));
    }
    return out;
}

} // namespace m4check
