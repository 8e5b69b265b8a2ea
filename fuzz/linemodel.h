// A model of the product's line readers for the fuzz checkers: each line is
// the piece fgets takes from a buffer of bufsize bytes (through the LF, or
// bufsize-1 bytes), seen as a C string and cut at its first LF, then CR.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kvfuzz {

struct LineModel {
    std::string_view data;
    size_t bufsize;
    size_t pos = 0;

    // The next line, or none at end of input.  With skip_comments, pieces
    // that begin with '#' are passed over (as fgets_nocomment_killcrnl does).
    std::optional<std::string> line(bool skip_comments = false) {
        for (;;) {
            if (pos >= data.size()) return std::nullopt;
            size_t end = data.find('\n', pos);
            size_t len = end == std::string_view::npos ? data.size() - pos : end - pos + 1;
            if (len > bufsize - 1) len = bufsize - 1;
            std::string piece(data.substr(pos, len));
            pos += len;
            if (skip_comments && piece[0] == '#') continue;
            piece = piece.substr(0, piece.find('\0'));
            piece = piece.substr(0, piece.find('\n'));
            return piece.substr(0, piece.find('\r'));
        }
    }
    std::optional<std::string> line_nocomment() { return line(true); }
};

} // namespace kvfuzz
