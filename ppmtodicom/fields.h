// Internal interfaces between the line loop and the image and field emitters.
#pragma once

#include "ppmtodicom.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace kuvra_convert {

// The lines of the input, each one whole: read up to its line feed however
// long it is.  A fixed buffer would hand the tail of a long line back as a
// line of its own, and a header value that held "#PatientID:\tX" past the
// buffer's end would define PatientID.
//
// It reads a stdio stream, of which nothing is read beyond the line feed, so
// that the stream is left where the spooler must start; or a descriptor
// through a buffer of its own, whose bytes not yet taken as lines the
// spooler takes first (held(), take()): the spooler then moves the rest of
// the data in the kernel, without looking into stdio.
class LineReader {
  public:
    // The header comments of one input are at most this many, and their
    // lines hold at most this many bytes in all, line ends not counted:
    // what they define is held by m4 (a few hundred bytes a definition) and
    // written by the template into the synthesizer's input, which holds
    // every element, and these bounds keep each of those processes (and
    // this one) under 16 MiB whatever the input.  A run past them stops.
    static constexpr size_t comments_max_count = 4096;
    static constexpr size_t comments_max_bytes = size_t(1) << 20;
    // Longest line held; of a longer one the rest is read and dropped.  A
    // longer line is no header comment that can be taken, nor a line of
    // the formats.
    static constexpr size_t max_line = comments_max_bytes;
    // The buffer of a reader of a descriptor.
    static constexpr size_t buffer_size = size_t(64) << 10;

    explicit LineReader(FILE *in) : in_(in) {}
    // Reads fd, which stays the caller's, from its offset.
    explicit LineReader(int fd) : fd_(fd), buffer_(new char[buffer_size]) {}
    // Reads the next line; false at end of input (or a read error) when
    // nothing was left to read.
    bool next();
    // The line without its line feed and without one carriage return in
    // front of it.  NUL bytes and other carriage returns stay in it.
    std::string_view text() const { return text_; }
    // The same, terminated, for the number scanners (they stop at a NUL).
    const char *c_str() const { return text_.c_str(); }
    // The line held more than max_line bytes; text() is the first of them.
    bool too_long() const { return too_long_; }
    // The stream read, or null for a reader of a descriptor.
    FILE *stream() const { return in_; }
    // The descriptor read, or -1 for a reader of a stream.
    int fd() const { return fd_; }
    // The bytes read from the descriptor and not yet taken.
    std::string_view held() const { return {buffer_.get() + pos_, end_ - pos_}; }
    // Takes the first n held bytes (n <= held().size()).
    void take(size_t n) { pos_ += n; }
    // Counts the line held as a line of a header comment (first: the line
    // that begins it, not a continuation line): false once the header
    // comments read so far are past either bound.
    bool count_comment_line(bool first) {
        comment_bytes_ += too_long_ ? comments_max_bytes + 1 : text_.size();
        comment_count_ += first ? 1 : 0;
        return comment_bytes_ <= comments_max_bytes && comment_count_ <= comments_max_count;
    }

  private:
    // Appends the next line's bytes to text_; false when there were none.
    bool read_from_stream();
    bool read_from_fd();
    FILE *in_ = nullptr;
    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    size_t pos_ = 0, end_ = 0;
    std::string text_;
    bool too_long_ = false;
    size_t comment_bytes_ = 0;
    size_t comment_count_ = 0;
};

// Spools count bytes of the input that lines reads, from where its lines
// end (spool_to_tempfile, for a reader of a descriptor as of a stream).
tdnode *spool_lines_data(LineReader &lines, int32_t count);

// Reads the next line that must not be a header comment's (a size, depth or
// field block line).  1 with the line read, 0 at end of input, -1 after a
// line too long to hold (logged: the run must stop).
int next_data_line(LineReader &lines);

// The DICOM attributes that the header comments of a run name: the
// "Dicom/(gggg,eeee)" form, and the generic form named by a keyword of the
// data dictionary.  Written last into the stream as XX_ATTRIBUTES, so that a
// template can write every attribute it does not list itself, with the VR
// the dictionary gives (common.m4inc, KV_OTHER_ATTRS), and as one
// XX_ORIGIN_gggg_eeee per attribute, which names the comment or option its
// value came from, for the messages about that value (KV_ATTR).
class AttributeList {
  public:
    // Where the comments translated from now on come from: empty for the
    // input's own header comments (an origin "header comment #KEY"), else
    // the option that gave them ("-k PatientName", "--study-from ref.dcm").
    void set_source(std::string source) { source_ = std::move(source); }
    // vr: two upper-case letters.  A tag given again keeps its first VR
    // and keyword (the definitions of one tag are one macro).  key: the
    // comment's key as it stood; tag_form: it is the "Dicom/(gggg,eeee)"
    // form, whose value a template takes over the keyword form's, so its
    // origin wins too.
    void add(uint16_t group, uint16_t element, std::string_view vr, std::string_view keyword,
             std::string_view key, bool tag_form);
    bool empty() const { return attrs_.empty(); }
    // "define([[XX_ORIGIN_gggg_eeee]],[[origin]])\n" for each attribute, then
    // "define([[XX_ATTRIBUTES]],[[gggg eeee VR Keyword;...]])\n", in tag
    // order; nothing when the list is empty.
    void write(FILE *out) const;

  private:
    struct Attribute {
        std::string vr_keyword; // "VR Keyword"
        std::string origin;
        bool tag_form;
    };
    std::map<uint32_t, Attribute> attrs_;
    std::string source_;
};

// Translates the header comment that lines holds (its first byte is '#'),
// together with its continuation lines, into one definition on out.  A
// comment that cannot be carried whole (a control character in its value,
// quotes that do not nest, a reserved name, a tag number beyond four hex
// digits) is dropped and logged with its key.  KV_COMMENT_OVER, logged and
// with nothing written, when it takes the header comments of the input past
// the bounds of LineReader.  A kept comment that names
// a DICOM attribute is added to attrs, if given; one whose key looks like a
// misspelt keyword is kept and logged with the keyword meant.
enum kv_comment_next translate_header_comment(LineReader &lines, FILE *out,
                                              AttributeList *attrs = nullptr);

enum class ScanResult { none, ok, overflow };

// One decimal number as "%d" reads it (leading blanks, optional sign), but
// range-checked: ok with *value set, overflow when it does not fit a signed
// 32-bit number (*value then INT64_MAX or INT64_MIN), none when there is no
// number.  *end, if given, is set behind the digits (to text for none).
ScanResult scan_int(const char *text, int64_t *value, const char **end = nullptr);

// The P6 emitter: lines holds the size line; reads the depth line itself,
// writes the RGB field and spools the pixels.  0, or 1 after a logged fatal
// condition.
int emit_rgb(LineReader &lines, FILE *out);
// The P5 emitter, the same for the field GREY (depth 1 to 65535).
int emit_grey(LineReader &lines, FILE *out);

enum class FieldResult {
    converted, // the block was read up to its ENDFIELD
    abandoned, // bad type descriptor: logged, reading goes on at top level
    fatal      // logged; the run must stop
};
// Reads a field block after its "FIELD" line, writes its definitions and
// spools its data.
FieldResult read_field_block(LineReader &lines, FILE *out);

} // namespace kuvra_convert
