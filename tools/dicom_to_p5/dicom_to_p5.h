// The conversion of kuvra_dicom_to_P5 as a library of the program and its
// fuzz target: the structure walk, the checks of the attributes against the
// pixel data, the decoding of the first frame and the PNM writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace dicom_to_p5 {

// Largest decoded frame accepted unless KUVRA_DICOM_TO_P5_MAX_FRAME says
// otherwise: 1 GiB.
inline constexpr uint64_t default_max_frame = uint64_t(1) << 30;

// Takes bytes of the image; false when they could not be written (errno
// says why).
using Sink = std::function<bool(const void *, size_t)>;

// Once per process, before convert(): registers DCMTK's decoders and
// silences its log.
void init();

// The limit that the environment variable's value sets: a decimal number of
// bytes from 1 up, an optional K, M or G suffix (powers of 1024).  Null or
// empty: the default.  False for anything else.
bool parse_max_frame(const char *value, uint64_t &limit);

// Converts the DICOM file of size bytes open for reading on fd (read by
// offset; the descriptor's own offset is neither used nor moved; the file
// must stay unchanged until the call returns).  Writes the first frame as
// a PNM image to sink and returns 0; or returns 1 with the reason, one line
// without the program's name, in message (name: what the input is called
// there).  Nothing goes to sink unless the whole image has been decoded and
// checked.
int convert(int fd, uint64_t size, const std::string &name, uint64_t max_frame, const Sink &sink,
            std::string &message);

// A new file open for reading and writing that no other process can open,
// in $TMPDIR or /tmp: O_TMPFILE where the file system has it, else a
// mkstemp name removed at once.  -1 with errno on failure.
int anonymous_file();

// Most bytes a deflated data set may inflate to, for a frame limit: its
// frame and the attributes around it, in a file of its own.
inline constexpr uint64_t max_inflated(uint64_t max_frame) {
    return max_frame * 2 + (uint64_t(64) << 20);
}

// ---- internal parts, exposed for the tests of the library ----

// Where the well-formed data of a file end.  Walks the elements of the file
// meta information and of the data set (into sequences, items and
// encapsulated pixel data) in time linear in the file.  Returns false with
// a message for a file that is truncated (an element longer than what is
// left) or nested too deeply.  end is the file's size, or the offset of a
// run of zero bytes that fills the file to its end and holds no element
// (padding); an element the walker cannot follow (an unknown VR, a deflated
// data set, which convert() inflates and walks again) ends the walk with end at the file's size, so
// that DCMTK reads what the walker did not judge. bare: the file holds a data set alone, in
// Explicit VR Little Endian (an inflated one).  deflated_at, when given, is set to where the
// deflated data set of a file of a deflated transfer syntax starts, else to 0.
bool walk(int fd, uint64_t size, uint64_t &end, std::string &message, bool bare = false,
          uint64_t *deflated_at = nullptr);

// Deepest nesting of sequences and items accepted.
inline constexpr int max_depth = 32;

} // namespace dicom_to_p5
