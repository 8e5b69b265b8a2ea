// Assembly of a DICOM dataset from the elements that parse_elements read:
// every check that needs the data dictionary or the whole dataset, and the
// parts the synthesizer generates (UIDs, character set).
#pragma once

#include "synth_parse.h"

#include <cstdint>
#include <string>
#include <vector>

class DcmDataset;
class DcmElement;
class DcmItem;
class DcmTag;

namespace kuvra::synth {

// "(0010,0010) PatientName" for messages; the tag alone when the data
// dictionary does not name it.
std::string attr_name(uint16_t group, uint16_t elem);

// Fills datasets from element lists.  Every failing step returns false and
// fills in the error given at construction.
class DatasetBuilder {
  public:
    explicit DatasetBuilder(ParseError &err) : err_(err) {}

    // Fixes the character set of ds before any value is checked: what a
    // byte means depends on it.  A set given at the top of elems is kept;
    // otherwise a non-ASCII byte in any value makes the dataset UTF-8.
    // False (err filled in) when the set given holds a term the standard
    // does not define.
    bool choose_charset(const std::vector<Element> &elems, DcmDataset *ds);
    // Whether choose_charset found a character set given or needed: a
    // non-ASCII value seen later would come too late to set one.
    bool charset_known() const { return charset_known_; }

    // Adds elems[from, to) to root, checking each; sequences and items must
    // close within the range.
    bool load(std::vector<Element> &elems, size_t from, size_t to, DcmItem *root);

    // The checks of a binary element that is added to ds without its value
    // (streamed): its tag, its VR, its length, and not given twice.
    bool check_header_only(const Element &el, DcmItem *ds);

    // The generated UIDs, and the checks that need the whole dataset: a
    // SOP class, and pixel data that hold exactly what the image attributes
    // say.
    bool complete(DcmDataset *ds);

    bool fail(int64_t line, std::string msg) {
        err_.line = line;
        err_.message = std::move(msg);
        return false;
    }

  private:
    struct Context;
    bool add(Element &el, std::vector<Context> &stack);
    bool check_tag(const Element &el, const std::string &name);
    bool check_binary_length(const Element &el, const std::string &name);
    bool put_text(Element &el, DcmElement &elem, const std::string &name, DcmTag &dict_tag);
    bool put_binary(Element &el, DcmElement &elem, const std::string &name);
    bool check_pixel_length(DcmDataset *ds);
    void note_pixel_data(const Element &el);

    ParseError &err_;
    bool utf8_ = false;
    // What the given set lets a value hold beyond ASCII.
    enum class Bytes { ascii, any_but_c1, any, utf8 };
    Bytes bytes_ = Bytes::any; // no set given: UTF-8 is added when needed
    std::string charset_text_;
    bool charset_known_ = false;
    bool have_pixels_ = false;
    uint32_t pixel_length_ = 0;
    // Pixel data given as big-endian words: the OR of their samples.
    bool pixel_words_ = false;
    uint16_t pixel_word_or_ = 0;
};

} // namespace kuvra::synth
