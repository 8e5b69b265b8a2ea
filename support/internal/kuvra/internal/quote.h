// Input text quoted for a message.  Internal, not installed.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kuvra::internal {

// v in double quotes for a one-line message: bytes outside printable ASCII
// shown as \xNN, quotes and backslashes escaped, and cut with "..." after
// 200 bytes.  Every value an input file names (a VR value, a DICOM code
// string) goes through this before it reaches stderr: a raw line feed would
// forge a second message, an escape sequence would reach the terminal.
inline std::string shown(std::string_view v) {
    std::string s = "\"";
    size_t n = 0;
    for (unsigned char c : v) {
        if (++n > 200) {
            s += "...";
            break;
        }
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            s += static_cast<char>(c);
        } else if (c == '\\' || c == '"') {
            s += '\\';
            s += static_cast<char>(c);
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02X", c);
            s += b;
        }
    }
    return s + "\"";
}

} // namespace kuvra::internal
