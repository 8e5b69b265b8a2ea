// Turns the elements read by parse_elements into one DICOM Part 10 file
// (preamble, file meta group, Explicit VR Little Endian dataset).
#pragma once

#include "synth_parse.h"

#include <memory>
#include <vector>

namespace kuvra::synth {

// Checks every element against its VR and the data dictionary, completes the
// dataset (UIDs, character set) and writes the file to out_fd.  Nothing is
// written unless every check has passed.  Returns true on success; else err
// names the attribute and its value.  Spooled values are read through their
// descriptors, which must stay open until this returns.
bool synthesize(std::vector<Element> &elems, int out_fd, ParseError &err);

// The streaming way, for an output that can be cut back on failure (a
// regular file): the parser's on_large_value calls begin(), which checks and
// writes everything read before the large value and returns the descriptor
// its bytes go to; after the parse, finish() writes the rest.  If either
// fails, or the parse fails after begin() has written, the caller must cut
// the output back to where it started: what was written is not a file.
class StreamingWriter {
  public:
    StreamingWriter(int out_fd, ParseError &err);
    ~StreamingWriter();
    StreamingWriter(const StreamingWriter &) = delete;
    StreamingWriter &operator=(const StreamingWriter &) = delete;
    int begin(std::vector<Element> &so_far, const Element &big);
    bool started() const;
    bool finish(std::vector<Element> &elems);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int out_fd_;
    ParseError &err_;
};

} // namespace kuvra::synth
