// Reader of the synthesizer's element-list input (see FORMAT.md next to this
// file).  The reader knows the text format only; what a value means to DICOM
// is checked by the builder.  It is kept apart from the program so that tests
// and fuzzers can drive it in-process on a memory buffer.
#pragma once

#include "synth_values.h"

#include <kuvra/internal/fd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kuvra::synth {

using kuvra::internal::UniqueFd;

// Where the input bytes come from.  read() returns the number of bytes
// delivered (at most n), 0 at end of input, -1 on a read error.
class Source {
  public:
    virtual ~Source() = default;
    virtual int64_t read(char *buf, size_t n) = 0;
    // The descriptor behind the source, for copies that bypass user space;
    // -1 when there is none.
    virtual int fd() const { return -1; }
};

// Reads a descriptor; the descriptor stays the caller's.
class FdSource final : public Source {
  public:
    explicit FdSource(int fd) : fd_(fd) {}
    int64_t read(char *buf, size_t n) override;
    int fd() const override { return fd_; }

  private:
    int fd_;
};

// Reads a caller-owned buffer that must outlive the source.
class MemorySource final : public Source {
  public:
    explicit MemorySource(std::string_view data) : data_(data) {}
    int64_t read(char *buf, size_t n) override;

  private:
    std::string_view data_;
};

enum class ValueKind : uint8_t {
    Text,          // value given as text on the element line
    Binary,        // value given as a byte count and raw bytes
    SequenceStart, // "(gggg,eeee) SQ": the items up to the sequence end belong to it
    ItemStart,     // "(FFFE,E000)"
    ItemEnd,       // "(FFFE,E00D)"
    SequenceEnd,   // "(FFFE,E0DD)"
};

// How an element of this kind changes the nesting depth of sequences and
// items: +1 for a start, -1 for an end, 0 for a value.
constexpr int nesting_step(ValueKind k) {
    return k == ValueKind::SequenceStart || k == ValueKind::ItemStart ? 1
           : k == ValueKind::SequenceEnd || k == ValueKind::ItemEnd   ? -1
                                                                      : 0;
}
// Item start, item end and sequence end: the lines that are no attribute.
constexpr bool is_item_marker(ValueKind k) {
    return k == ValueKind::ItemStart || k == ValueKind::ItemEnd || k == ValueKind::SequenceEnd;
}

struct Element {
    uint16_t group = 0;
    uint16_t elem = 0;
    char vr[3] = {0, 0, 0}; // two letters and a terminator; empty for item markers
    ValueKind kind = ValueKind::Text;
    std::string text;    // Text: the bytes after the blank that follows the VR
    std::string bytes;   // Binary held in memory
    UniqueFd spool;      // Binary spooled to an unlinked file, read from offset 0
    uint32_t length = 0; // Binary: number of value bytes (before any padding)
    // Binary given as 16-bit words most significant byte first ("big-endian"
    // after the count); the bytes are swapped to little-endian on reading.
    bool big_endian_words = false;
    // Binary with big_endian_words: the OR of all its (swapped) words.
    uint16_t word_or = 0;
    // Binary copied to the descriptor that on_large_value chose, not kept.
    bool streamed = false;
    int64_t line = 0; // line number of the element line, from 1
    // Where the value came from, for messages about it: the text of an
    // "#origin: " line just before the element line ("header comment
    // #PatientName", "-k PatientName"); empty when none came before it.
    std::string origin;
};

struct ParseError {
    int64_t line = 0; // 0 when the fault is not tied to one line
    std::string message;
};

// The reader's buffer (about 1 MiB, not zeroed), for a caller that parses
// many inputs in one process: allocated on the first run and kept, instead
// of allocated for each.  One parse at a time may use it.
class ReadBuffer {
  public:
    char *get();

  private:
    std::unique_ptr<char[]> storage_;
};

struct ParseOptions {
    // Binary values of more than this many bytes go to a spool file instead of
    // memory, so that pixel data are never held whole.
    uint32_t spool_threshold = 64 * 1024;
    // Directory for spool files; empty: $TMPDIR, else /tmp.
    std::string spool_dir;
    // The input must hold the line KV_END_MARK (kuvra/internal/endmark.h):
    // a list without it was cut short by its maker.
    bool require_end = false;
    // Longest element line accepted, line end excluded.
    size_t max_line = 4 * 1024 * 1024;
    // The buffer to read the input through; null: one of the run's own.
    ReadBuffer *read_buffer = nullptr;
    // Called for a binary value above the threshold, before its bytes are
    // read, with the elements read so far: returns a descriptor to copy the
    // bytes to (they are then not kept: the element is marked streamed), -1
    // to spool them as usual, or -2 to stop (err filled in by the callback).
    std::function<int(std::vector<Element> &so_far, const Element &value, ParseError &err)>
        on_large_value;
};

// Reads the whole input into out (elements in input order, item and
// sequence markers included).  Returns true on success; on failure err says
// why and where, and out holds the elements read before the fault.
bool parse_elements(Source &src, const ParseOptions &opt, std::vector<Element> &out,
                    ParseError &err);

} // namespace kuvra::synth
