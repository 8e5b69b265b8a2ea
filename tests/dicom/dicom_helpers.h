// Helpers of the DICOM back-end tests: macro streams as the converter writes
// them, the real m4 + synthesizer pipeline, and the outside DICOM tools that
// check what comes out.
#pragma once

#include "kvtest.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dicomtest {

// The converter's fixed prelude (590 bytes).
std::string prelude();

// A macro stream: prelude, date and time, data format, then the lines added.
class MacroStream {
  public:
    explicit MacroStream(const std::string &format);
    ~MacroStream(); // removes the spool files
    MacroStream(const MacroStream &) = delete;
    MacroStream &operator=(const MacroStream &) = delete;
    // define([[XX_name]],[[value]]) as a header comment makes it.
    MacroStream &header(const std::string &name, const std::string &value);
    // The field macros of a P6 image, data spooled to a file in dir.
    MacroStream &rgb(const kvtest::TempDir &dir, int w, int h, const std::string &pixels);
    // The field macros of a P5 image (U8 up to maxval 255, else U16 MSB first).
    MacroStream &grey(const kvtest::TempDir &dir, int w, int h, int maxval,
                      const std::string &pixels);
    // A fieldset field with the given sizes.
    MacroStream &field(const kvtest::TempDir &dir, const std::string &name, const std::string &type,
                       int item_size, const std::vector<int> &sizes, const std::string &data);
    MacroStream &raw(const std::string &text);
    std::string text() const { return text_ + "divert[[]]dnl\n"; }
    // Spool files made for this stream, named as the converter names them.
    std::vector<std::string> spool_files;
    // The (empty) files made for the swapped copies of DATA_BS, likewise.
    std::vector<std::string> swap_files;

  private:
    std::string spool(const kvtest::TempDir &dir, const std::string &data);
    // The DATA and DATA_BS definitions of field f for the spool file.
    std::string data_defs(const std::string &f, const std::string &file);
    std::string text_;
};

// m4 -I<module dir> - module | kuvra_dicom_synthesizer > out; status is the
// synthesizer's, err holds m4's and the synthesizer's messages.
kvtest::RunResult run_module(const std::string &module, const std::string &stream,
                             const std::string &out_path);

// dcmdump output of a file.
std::string dump(const std::string &path);
// Value of the first dump line of the tag "(gggg,eeee)" (lower-case hex), as
// dcmdump shows it: the text inside [...] or after "=" / the numbers.
std::string attr(const std::string &dump_text, const std::string &tag);
// dciodvfy's lines that start with "Error".
std::vector<std::string> dciodvfy_errors(const std::string &path);
// The raw pixel data of a DICOM file as gdcmraw extracts it (decoded: all
// frames, samples as little-endian units).
std::string gdcm_pixels(const std::string &path);
// kuvra_dicom_to_P5 on a file: the PNM it writes (status checked by caller).
kvtest::RunResult to_pnm(const std::string &path);

// PNM encoders for the test images.
std::string pnm(const std::string &magic, int w, int h, int maxval, const std::string &pixels);
// Deterministic test pattern of n bytes.
std::string pattern(size_t n, uint32_t seed);

} // namespace dicomtest
