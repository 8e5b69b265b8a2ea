// The module templates under real m4, fed hand-written macro streams of the
// converter's form, and the synthesizer behind them.
#include "dicom_helpers.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <kuvra/internal/dicomdict.h>
#include <map>
#include <regex>
#include <set>

using dicomtest::attr;
using dicomtest::MacroStream;

namespace {

struct Exported {
    kvtest::RunResult run;
    std::string file;
    std::string dump;
};

Exported export_stream(const kvtest::TempDir &d, const std::string &module, const MacroStream &s) {
    Exported e;
    e.file = (d / "out.dcm").string();
    e.run = dicomtest::run_module(module, s.text(), e.file);
    if (e.run.status == 0) e.dump = dicomtest::dump(e.file);
    return e;
}

// The file passes the outside checkers and both readers see these pixels.
void expect_valid_with_pixels(const Exported &e, const std::string &dicom_pixels,
                              const std::string &pnm) {
    ASSERT_EQ(e.run.status, 0) << e.run.err;
    EXPECT_EQ(kvtest::run({"dcmftest", e.file}).out, "yes: " + e.file + "\n");
    auto errs = dicomtest::dciodvfy_errors(e.file);
    EXPECT_TRUE(errs.empty()) << errs[0];
    EXPECT_EQ(dicomtest::gdcm_pixels(e.file), dicom_pixels);
    auto p = dicomtest::to_pnm(e.file);
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_TRUE(p.out == pnm) << "kuvra_dicom_to_P5 output differs from the input image";
}

// A text as a code span of the guide's tables, and a tag as they write it.
std::string code(std::string_view text) {
    std::string c = "`";
    c += text;
    c += '`';
    return c;
}
std::string tag_text(std::string_view group, std::string_view element) {
    std::string t = "(";
    t += group;
    t += ',';
    t += element;
    t += ')';
    return t;
}
std::string tag_of(const kuvra::internal::DictEntry *e) {
    char t[16];
    snprintf(t, sizeof t, "(%04X,%04X)", unsigned(e->group), unsigned(e->element));
    return t;
}

std::string swap_pairs(std::string s) {
    for (size_t i = 0; i + 1 < s.size(); i += 2)
        std::swap(s[i], s[i + 1]);
    return s;
}

} // namespace

TEST(SecondaryCapture, RgbImageWithOddWidth) {
    kvtest::TempDir d;
    const int w = 5, h = 3;
    std::string px = dicomtest::pattern(w * h * 3, 1);
    MacroStream s("P6");
    s.header("PatientID", "P-1").rgb(d, w, h, px);
    auto e = export_stream(d, "secondary_capture", s);
    // 45 bytes, padded to 46 in the file; the readers give the 45 of the image.
    expect_valid_with_pixels(e, px, dicomtest::pnm("P6", w, h, 255, px));
    EXPECT_EQ(attr(e.dump, "(0008,0016)"), "SecondaryCaptureImageStorage");
    EXPECT_EQ(attr(e.dump, "(0028,0004)"), "RGB");
    EXPECT_EQ(attr(e.dump, "(0028,0002)"), "3");
    EXPECT_EQ(attr(e.dump, "(0028,0006)"), "0");
    EXPECT_EQ(attr(e.dump, "(0028,0010)"), "3");
    EXPECT_EQ(attr(e.dump, "(0028,0011)"), "5");
    EXPECT_EQ(attr(e.dump, "(0028,0101)"), "8");
    // Module defaults.
    EXPECT_EQ(attr(e.dump, "(0008,0020)"), "20240229");
    EXPECT_EQ(attr(e.dump, "(0008,0030)"), "235958");
    EXPECT_EQ(attr(e.dump, "(0020,0010)"), "1");
    EXPECT_EQ(attr(e.dump, "(0020,0011)"), "1");
    EXPECT_EQ(attr(e.dump, "(0020,0013)"), "1");
    EXPECT_EQ(attr(e.dump, "(0008,0064)"), "WSD");
    EXPECT_EQ(attr(e.dump, "(0020,0062)"), "U");
    EXPECT_EQ(attr(e.dump, "(0020,0020)"), "");
    EXPECT_EQ(attr(e.dump, "(0008,0060)"), "OT");
    EXPECT_EQ(attr(e.dump, "(0010,0020)"), "P-1");
}

TEST(SecondaryCapture, EightBitGrey) {
    kvtest::TempDir d;
    std::string px = dicomtest::pattern(7 * 4, 2);
    MacroStream s("P5");
    s.grey(d, 7, 4, 255, px);
    auto e = export_stream(d, "secondary_capture", s);
    expect_valid_with_pixels(e, px, dicomtest::pnm("P5", 7, 4, 255, px));
    EXPECT_EQ(attr(e.dump, "(0028,0004)"), "MONOCHROME2");
    EXPECT_EQ(attr(e.dump, "(0028,0100)"), "8");
    EXPECT_EQ(attr(e.dump, "(0028,0101)"), "8");
    EXPECT_EQ(attr(e.dump, "(0028,0102)"), "7");
}

TEST(SecondaryCapture, SixteenBitGreyIsWrittenLittleEndian) {
    for (int maxval : {4095, 65535, 256}) {
        SCOPED_TRACE(maxval);
        kvtest::TempDir d;
        const int w = 3, h = 5;
        // Samples as a 16-bit PGM stores them: most significant byte first.
        std::string px;
        for (int i = 0; i < w * h; ++i) {
            int v = (i * 2731 + 17) % (maxval + 1);
            px += static_cast<char>(v >> 8);
            px += static_cast<char>(v & 0xFF);
        }
        MacroStream s("P5");
        s.grey(d, w, h, maxval, px);
        auto e = export_stream(d, "secondary_capture", s);
        int bits = maxval == 4095 ? 12 : maxval == 65535 ? 16 : 9;
        // MAXVAL comes back as 2^BitsStored-1: the same for 4095 and 65535.
        expect_valid_with_pixels(e, swap_pairs(px),
                                 dicomtest::pnm("P5", w, h, (1 << bits) - 1, px));
        EXPECT_EQ(attr(e.dump, "(0028,0100)"), "16");
        EXPECT_EQ(attr(e.dump, "(0028,0101)"), std::to_string(bits));
        EXPECT_EQ(attr(e.dump, "(0028,0102)"), std::to_string(bits - 1));
        EXPECT_NE(e.dump.find("(7fe0,0010) OW"), std::string::npos);
        // The synthesizer swaps the samples: DATA_BS and its second copy of
        // the data through dd are not used.
        for (const auto &f : s.swap_files)
            EXPECT_EQ(std::filesystem::file_size(f), 0u) << f;
    }
}

TEST(ModuleHeaders, CommentsSetAttributesAndDicomFormWins) {
    kvtest::TempDir d;
    MacroStream s("P5");
    s.header("PatientName", "Generic^Name")
        .header("DICOM_0010_0010", "Dicom^Form")
        .header("StudyDescription", "Knee left")
        .header("DICOM_0008_103E", "Series by tag")
        .header("StudyDate", "20200102")
        .header("SeriesNumber", "7")
        .header("DICOM_0020_000D", "1.2.826.0.1.3680043.2.1143.77")
        .header("Modality", "XC")
        .grey(d, 2, 2, 255, "abcd");
    auto e = export_stream(d, "secondary_capture", s);
    ASSERT_EQ(e.run.status, 0) << e.run.err;
    EXPECT_EQ(attr(e.dump, "(0010,0010)"), "Dicom^Form");
    EXPECT_EQ(attr(e.dump, "(0008,1030)"), "Knee left");
    EXPECT_EQ(attr(e.dump, "(0008,103e)"), "Series by tag");
    EXPECT_EQ(attr(e.dump, "(0008,0020)"), "20200102");
    EXPECT_EQ(attr(e.dump, "(0020,0011)"), "7");
    EXPECT_EQ(attr(e.dump, "(0020,000d)"), "1.2.826.0.1.3680043.2.1143.77");
    EXPECT_EQ(attr(e.dump, "(0008,0060)"), "XC");
    // Headers do not reshape the image: its structure follows the data.
    EXPECT_EQ(attr(e.dump, "(0028,0010)"), "2");
}

TEST(ModuleHeaders, ImageStructureIsNotTakenFromComments) {
    kvtest::TempDir d;
    MacroStream s("P5");
    s.header("Rows", "9").header("DICOM_0028_0011", "9").header("BitsStored", "3");
    s.grey(d, 2, 2, 255, "abcd");
    auto e = export_stream(d, "secondary_capture", s);
    ASSERT_EQ(e.run.status, 0) << e.run.err;
    EXPECT_EQ(attr(e.dump, "(0028,0010)"), "2");
    EXPECT_EQ(attr(e.dump, "(0028,0011)"), "2");
    EXPECT_EQ(attr(e.dump, "(0028,0101)"), "8");
}

TEST(ModuleHeaders, M4WordsInValuesArriveByteForByteAndRunNothing) {
    kvtest::TempDir d;
    std::string marker = (d / "executed").string();
    const std::string values[] = {
        "dnl rest of line",
        "index(abc,b) len(xyz)",
        "syscmd(touch " + marker + ")",
        "esyscmd([[touch " + marker + "]])",
        "[[nested]] and [[[[deep]]]]",
        "a, b, (c, d)",
        "#not a comment $1 $@ `quoted'",
        "define([[XX_FIELD_GREY_DATA]],[[syscmd(touch " + marker + ")]])",
    };
    for (const auto &v : values) {
        SCOPED_TRACE(v);
        MacroStream s("P5");
        s.header("ImageComments", v).header("DICOM_0010_4000", v).grey(d, 2, 2, 255, "wxyz");
        auto e = export_stream(d, "secondary_capture", s);
        ASSERT_EQ(e.run.status, 0) << e.run.err;
        EXPECT_EQ(attr(e.dump, "(0020,4000)"), v);
        EXPECT_EQ(attr(e.dump, "(0010,4000)"), v);
        EXPECT_EQ(dicomtest::gdcm_pixels(e.file), "wxyz");
        EXPECT_FALSE(std::filesystem::exists(marker)) << "a header value was executed";
    }
}

TEST(ModuleHeaders, CommentsThatRedefineConverterMacrosRunNothing) {
    kvtest::TempDir d;
    std::string marker = (d / "executed").string();
    // Header comments that follow the image redefine its DATA macro; ones
    // before it redefine a prelude macro the template calls.
    MacroStream s("P6");
    s.header("REQUIRE_VALUE", "syscmd([[touch " + marker + "]])");
    s.rgb(d, 1, 1, "rgb");
    s.header("FIELD_RGB_DATA", "syscmd([[touch " + marker + "]])");
    auto e = export_stream(d, "secondary_capture", s);
    EXPECT_NE(e.run.status, 0);
    EXPECT_NE(e.run.err.find("XX_FIELD_RGB_DATA is not the data macro of the converter"),
              std::string::npos)
        << e.run.err;
    EXPECT_FALSE(std::filesystem::exists(marker));

    MacroStream t("KUVRA_FIELDSET");
    t.header("REQUIRE_VALUE", "syscmd([[touch " + marker + "]])");
    t.field(d, "Volume", "F32", 4, {1, 1}, "abcd");
    auto f = export_stream(d, "multiframe", t);
    EXPECT_NE(f.run.status, 0);
    EXPECT_NE(f.run.err.find("Incorrect value F32 for XX_FIELD_Volume_ITEM_TYPE - should be U8 "
                             "or U16."),
              std::string::npos)
        << f.run.err;
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(ModuleHeaders, NonAsciiValueIsUtf8AndInvalidValueIsRefused) {
    kvtest::TempDir d;
    MacroStream s("P5");
    s.header("PatientName", "M\xc3\xbcller^Ren\xc3\xa9").grey(d, 1, 1, 255, "z");
    auto e = export_stream(d, "secondary_capture", s);
    ASSERT_EQ(e.run.status, 0) << e.run.err;
    EXPECT_EQ(attr(e.dump, "(0008,0005)"), "ISO_IR 192");
    EXPECT_EQ(attr(e.dump, "(0010,0010)"), "M\xc3\xbcller^Ren\xc3\xa9");

    MacroStream bad("P5");
    bad.header("StudyDate", "2024-01-01").grey(d, 1, 1, 255, "z");
    auto b = export_stream(d, "secondary_capture", bad);
    EXPECT_EQ(b.run.status, 1);
    EXPECT_NE(b.run.err.find("(0008,0020) StudyDate: value \"2024-01-01\""), std::string::npos)
        << b.run.err;
    EXPECT_EQ(kvtest::read_file(b.file), "");
}

TEST(Multiframe, U8VolumeOfThreeFrames) {
    kvtest::TempDir d;
    const int x = 5, y = 3, z = 4;
    std::string data = dicomtest::pattern(x * y * z, 3);
    MacroStream s("KUVRA_FIELDSET");
    s.header("PatientID", "V1").field(d, "Volume", "U8", 1, {x, y, z}, data);
    auto e = export_stream(d, "multiframe", s);
    ASSERT_EQ(e.run.status, 0) << e.run.err;
    EXPECT_TRUE(dicomtest::dciodvfy_errors(e.file).empty())
        << dicomtest::dciodvfy_errors(e.file)[0];
    EXPECT_EQ(attr(e.dump, "(0008,0016)"), "MultiframeGrayscaleByteSecondaryCaptureImageStorage");
    EXPECT_EQ(attr(e.dump, "(0028,0008)"), "4");
    EXPECT_EQ(attr(e.dump, "(0028,0009)"), "(0018,2005)");
    EXPECT_EQ(attr(e.dump, "(0018,2005)"), "0\\1\\2\\3");
    EXPECT_EQ(attr(e.dump, "(0028,0010)"), "3");
    EXPECT_EQ(attr(e.dump, "(0028,0011)"), "5");
    EXPECT_EQ(attr(e.dump, "(2050,0020)"), "IDENTITY");
    EXPECT_EQ(attr(e.dump, "(0028,1052)"), "0");
    EXPECT_EQ(attr(e.dump, "(0028,1053)"), "1");
    EXPECT_EQ(dicomtest::gdcm_pixels(e.file), data);
    // The first frame is what kuvra_dicom_to_P5 shows.
    auto p = dicomtest::to_pnm(e.file);
    EXPECT_EQ(p.out, dicomtest::pnm("P5", x, y, 255, data.substr(0, x * y)));
}

TEST(Multiframe, U16FieldsInBothByteOrders) {
    kvtest::TempDir d;
    const int x = 4, y = 3;
    std::string be = dicomtest::pattern(x * y * 2, 4);
    {
        MacroStream s("KUVRA_FIELDSET");
        s.header("ExportField", "Slice__").header("RescaleSlope", "0.5");
        s.field(d, "Other", "U8", 1, {2, 2}, "abcd").field(d, "Slice__", "U16", 2, {x, y}, be);
        auto e = export_stream(d, "multiframe", s);
        ASSERT_EQ(e.run.status, 0) << e.run.err;
        EXPECT_TRUE(dicomtest::dciodvfy_errors(e.file).empty())
            << dicomtest::dciodvfy_errors(e.file)[0];
        EXPECT_EQ(attr(e.dump, "(0008,0016)"),
                  "MultiframeGrayscaleWordSecondaryCaptureImageStorage");
        EXPECT_EQ(attr(e.dump, "(0028,0008)"), "1");
        // One frame: no frame pointer (it is required, and allowed, for more only).
        EXPECT_EQ(attr(e.dump, "(0028,0009)"), "<absent>");
        EXPECT_EQ(attr(e.dump, "(0028,0101)"), "16");
        EXPECT_EQ(attr(e.dump, "(0028,1053)"), "0.5");
        EXPECT_EQ(dicomtest::gdcm_pixels(e.file), swap_pairs(be));
        EXPECT_EQ(dicomtest::to_pnm(e.file).out, dicomtest::pnm("P5", x, y, 65535, be));
    }
    {
        MacroStream s("KUVRA_FIELDSET");
        s.header("ByteOrder", "LittleEndian").field(d, "Volume", "U16", 2, {x, y}, be);
        auto e = export_stream(d, "multiframe", s);
        ASSERT_EQ(e.run.status, 0) << e.run.err;
        EXPECT_EQ(dicomtest::gdcm_pixels(e.file), be);
    }
}

struct Refusal {
    const char *what;
    std::string module;
    std::string format;
    std::string field_name, type;
    std::vector<int> sizes;
    size_t bytes;
    std::string header_key, header_value;
    std::string message;
};

TEST(ModuleRefusals, TemplateErrorsLeaveNoOutput) {
    const Refusal cases[] = {
        {"item type",
         "multiframe",
         "KUVRA_FIELDSET",
         "Volume",
         "F32",
         {2, 2},
         16,
         "",
         "",
         "Incorrect value F32 for XX_FIELD_Volume_ITEM_TYPE - should be U8 or U16."},
        {"item type with m4 words",
         "multiframe",
         "KUVRA_FIELDSET",
         "Volume",
         "dnl",
         {2, 2},
         4,
         "",
         "",
         "Incorrect item type dnl for XX_FIELD_Volume_ITEM_TYPE"},
        {"dimensions",
         "multiframe",
         "KUVRA_FIELDSET",
         "Volume",
         "U8",
         {2, 2, 2, 2},
         16,
         "",
         "",
         "takes 2 or 3 dimensions"},
        {"total size",
         "multiframe",
         "KUVRA_FIELDSET",
         "Volume",
         "U8",
         {2, 2},
         5,
         "",
         "",
         "is 5 bytes, but 2 x 2 x 1 samples of U8 need 4"},
        {"missing field",
         "multiframe",
         "KUVRA_FIELDSET",
         "Data",
         "U8",
         {2, 2},
         4,
         "",
         "",
         "the input has no field Volume"},
        {"field name",
         "multiframe",
         "KUVRA_FIELDSET",
         "Data",
         "U8",
         {2, 2},
         4,
         "ExportField",
         "Slice 2",
         "ExportField names no field: Slice 2"},
        {"format", "multiframe", "P6", "", "", {}, 0, "", "", "takes a fieldset"},
        {"format",
         "secondary_capture",
         "KUVRA_FIELDSET",
         "Volume",
         "U8",
         {2, 2},
         4,
         "",
         "",
         "Incorrect value KUVRA_FIELDSET for KV_FORMAT - should be P5 or P6."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        kvtest::TempDir d;
        MacroStream s(c.format);
        if (!c.header_key.empty()) s.header(c.header_key, c.header_value);
        if (!c.field_name.empty())
            s.field(d, c.field_name, c.type, 1, c.sizes, std::string(c.bytes, 'x'));
        auto e = export_stream(d, c.module, s);
        EXPECT_EQ(e.run.status, 1);
        EXPECT_NE(e.run.err.find(c.message), std::string::npos) << e.run.err;
        EXPECT_EQ(kvtest::read_file(e.file), "");
    }
}

TEST(ModuleRefusals, TemplateWithoutMacroStream) {
    kvtest::TempDir d;
    for (const char *m : {"secondary_capture", "multiframe"}) {
        kvtest::RunOptions o;
        auto r = kvtest::run({"m4", std::string("-I") + KUVRA_MODULE_DIR, "-", m}, o);
        EXPECT_EQ(r.status, 1) << m;
        EXPECT_EQ(r.out, "") << m;
        EXPECT_NE(r.err.find("no macro stream before the template"), std::string::npos) << r.err;
    }
}

// The pixel bytes never pass through m4: the element list names the spool
// file, and stays small whatever the image.
TEST(ModuleOutput, PixelLineNamesTheSpoolFile) {
    kvtest::TempDir d;
    std::string px = dicomtest::pattern(300 * 200 * 3, 21);
    MacroStream s("P6");
    s.rgb(d, 300, 200, px);
    std::string stream = s.text();
    size_t at = stream.find("undivert([[");
    ASSERT_NE(at, std::string::npos);
    std::string spool = stream.substr(at + 11, stream.find("]]", at) - at - 11);
    kvtest::RunOptions o;
    o.input = stream;
    auto r = kvtest::run({"m4", std::string("-I") + KUVRA_MODULE_DIR, "-",
                          std::string(KUVRA_MODULE_DIR) + "/secondary_capture"},
                         o);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(r.out.size(), 8192u);
    EXPECT_NE(r.out.find("\n(7FE0,0010) OB 180000 from " + spool + "\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find(px.substr(0, 64)), std::string::npos);
}

// The guide's table of which macros are safe on which text, row by row: a
// header value that would run a command if rescanned, through the prelude
// and the shipped helpers.  And the converter's own values (item types,
// format names) are words no macro of theirs, or of m4, has.  And its
// tables of the keys that reach the output and of the attributes that the
// export decides are the shipped templates' and the converter's.
TEST(TemplateGuide, TablesHoldForM4TheTemplatesAndTheConverter) {
    kvtest::TempDir d;
    const std::string head = dicomtest::prelude() +
                             "define([[XX_Note]],[[Doe syscmd([[touch MARK]])]])\n"
                             "divert[[]]dnl\ninclude([[" KUVRA_MODULE_DIR "/common.m4inc]])\n";
    auto rows = kvtest::doc_table("docs/templates.md", "safe macros");
    ASSERT_GE(rows.size(), 12u);
    for (const auto &row : rows) {
        ASSERT_EQ(row.size(), 3u) << row.at(0);
        EXPECT_EQ(row[2], "safe") << row[0];
        for (std::string code : kvtest::code_spans(row[0])) {
            if (code == "XX_Note") continue; // the name a KV_ helper reads
            for (size_t at; (at = code.find("NAME")) != std::string::npos;)
                code.replace(at, 4, "XX_Note");
            kvtest::RunOptions opt;
            opt.cwd = d.path();
            opt.input = head + code + "\n";
            kvtest::run({"m4"}, opt);
            EXPECT_EQ(std::filesystem::exists(d / "MARK"), row[1] == "**runs it**") << code;
            std::filesystem::remove(d / "MARK");
        }
    }

    std::string probe =
        dicomtest::prelude() + "divert[[]]dnl\ninclude([[" KUVRA_MODULE_DIR "/common.m4inc]])\n";
    std::vector<std::string> words{"P5", "P6", "KUVRA_FIELDSET"};
    for (const auto &row : kvtest::doc_table("docs/templates.md", "item types"))
        for (const std::string &t : kvtest::code_spans(row.at(0)))
            words.push_back(t);
    ASSERT_EQ(words.size(), 14u);
    for (const std::string &w : words)
        probe += "ifdef([[" + w + "]],[[" + w + " is a macro]])";
    kvtest::RunOptions opt;
    opt.input = probe + "\n";
    auto r = kvtest::run({"m4", "-"}, opt);
    EXPECT_EQ(r.out.find("is a macro"), std::string::npos) << r.out;

    // What the templates write from keys (KV_ATTR, KV_OPT: key, tag, VR,
    // default), decide themselves (KV_FIXED, KV_CLAIM_FIXED) and read as
    // keys that name no attribute (XX_Key), module by module.
    static const std::regex element(
        R"(^KV_(ATTR|OPT)\(\[\[([0-9A-F]{4})\]\],\[\[([0-9A-F]{4})\]\],)"
        R"(\[\[([A-Z]{2})\]\],\[\[(\w+)\]\](?:,\[\[(.*)\]\])?\)dnl$)");
    static const std::regex fixed(
        R"(KV_(?:FIXED|CLAIM_FIXED)\(\[\[([0-9A-F]{4})\]\],\[\[([0-9A-F]{4})\]\])");
    static const std::regex key_macro(R"(\[\[XX_([A-Z][a-z]\w*)\]\])");
    std::set<std::string> written, keys_read;
    std::map<std::string, std::set<std::string>> decided_in;
    for (std::string file : {"common.m4inc", "secondary_capture", "multiframe"}) {
        const std::string module = file == "common.m4inc" ? "both" : code(file);
        for (const auto &line : kvtest::split_lines(
                 kvtest::read_file(kvtest::source("share/kuvra/config/dicom/modules/" + file)))) {
            std::smatch m;
            if (std::regex_match(line, m, element)) {
                const std::string d = m[6];
                std::string without = m[1] == "OPT"                      ? "left out"
                                      : d.empty()                        ? "empty"
                                      : d == "defn([[XX_CURRENT_DATE]])" ? "date of the run"
                                      : d == "defn([[XX_CURRENT_TIME]])" ? "time of the run"
                                                                         : code(d);
                written.insert(code(m[5].str()) + " " + code(tag_text(m[2].str(), m[3].str())) +
                               " " + m[4].str() + " " + without + " " + module);
            }
            for (std::sregex_iterator it(line.begin(), line.end(), fixed), end; it != end; ++it)
                decided_in[tag_text((*it)[1].str(), (*it)[2].str())].insert(file);
            for (std::sregex_iterator it(line.begin(), line.end(), key_macro), end; it != end; ++it)
                keys_read.insert((*it)[1]);
        }
    }
    // The keys the converter takes for the templates (its -k names them).
    std::set<std::string> converter_keys;
    {
        std::string src = kvtest::read_file(kvtest::source("ppmtodicom/keys.cpp"));
        std::smatch list;
        ASSERT_TRUE(std::regex_search(src, list, std::regex(R"(template_keys\[\] = \{([^}]*)\})")));
        std::string names = list[1];
        static const std::regex quoted("\"(\\w+)\"");
        for (std::sregex_iterator it(names.begin(), names.end(), quoted), end; it != end; ++it)
            converter_keys.insert((*it)[1]);
    }
    EXPECT_EQ(keys_read, converter_keys);

    using kuvra::internal::dict_find_keyword;
    using kuvra::internal::dict_find_tag;
    std::set<std::string> listed, listed_keys;
    // The export below: every key of the table with a value of its VR.
    kvtest::TempDir out;
    kvtest::write_file(out / "in.fst",
                       "KUVRA_FST\nFIELD\nVolume\nU8 1\n2\n2 2\n4\nabcd\nENDFIELD\n");
    std::vector<std::string> argv{kvtest::bin("kuvra_ppmtodicom"), "-d", "multiframe"};
    std::map<std::string, std::string> expect;
    int i = 0;
    for (const auto &row : kvtest::doc_table("docs/templates.md", "keys")) {
        ASSERT_EQ(row.size(), 5u) << row.at(0);
        auto key = kvtest::code_spans(row[0]).at(0);
        if (row[1] == "none") {
            listed_keys.insert(key);
            EXPECT_EQ(row[4], "`multiframe`") << key;
            argv.insert(argv.end(),
                        {"-k", key + "=" + (key == "ExportField" ? "Volume" : "LittleEndian")});
            continue;
        }
        // A key is a keyword of the dictionary, of the tag and VR given.
        const auto *e = dict_find_keyword(key);
        ASSERT_NE(e, nullptr) << key;
        EXPECT_EQ(code(tag_of(e)), row[1]) << key;
        EXPECT_EQ(e->vr_name(), row[2]) << key;
        std::string without = row[3].rfind("the synthesizer's", 0) == 0 ? "left out" : row[3];
        listed.insert(row[0] + " " + row[1] + " " + row[2] + " " + without + " " + row[4]);
        char v[48];
        const std::string vr = row[2];
        ++i;
        if (vr == "DA")
            snprintf(v, sizeof v, "2024%02d%02d", 1 + i / 28, 1 + i % 28);
        else if (vr == "TM")
            snprintf(v, sizeof v, "10%02d%02d", i / 60, i % 60);
        else if (vr == "UI")
            snprintf(v, sizeof v, "1.2.826.0.1.3680043.2.1143.%d", i);
        else if (vr == "IS")
            snprintf(v, sizeof v, "%d", i);
        else if (vr == "DS")
            snprintf(v, sizeof v, "%d.5", i);
        else if (vr == "AS")
            snprintf(v, sizeof v, "%03dY", i);
        else if (key == "SpecificCharacterSet")
            snprintf(v, sizeof v, "ISO_IR 192");
        else if (vr == "CS")
            snprintf(v, sizeof v, "C%d", i);
        else if (vr == "PN")
            snprintf(v, sizeof v, "Doe^V%d", i);
        else
            snprintf(v, sizeof v, "Value %d", i);
        std::string value = v;
        for (int n = 1; n < e->vm_min; ++n) // PatientOrientation takes two
            value += std::string("\\") + v;
        argv.insert(argv.end(), {"-k", key + "=" + value});
        expect[tag_of(e)] = value;
    }
    EXPECT_EQ(listed, written);
    EXPECT_EQ(listed_keys, keys_read);
    // The attributes the export decides: those the templates fix or claim.
    std::set<std::string> listed_decided, decided;
    for (const auto &[tag, files] : decided_in)
        decided.insert(code(tag) + " " +
                       (files.count("common.m4inc") || files.size() > 1 ? std::string("both")
                                                                        : code(*files.begin())));
    for (const auto &row : kvtest::doc_table("docs/templates.md", "decided attributes")) {
        ASSERT_EQ(row.size(), 4u) << row.at(0);
        listed_decided.insert(row[1] + " " + row[3]);
        unsigned g = 0, el = 0;
        ASSERT_EQ(sscanf(row[1].c_str(), "`(%4x,%4x)`", &g, &el), 2) << row[1];
        const auto *e = dict_find_tag(uint16_t(g), uint16_t(el));
        ASSERT_NE(e, nullptr) << row[1];
        EXPECT_EQ(code(e->keyword()), row[0]);
    }
    EXPECT_EQ(listed_decided, decided);

    // And each key reaches the file with its value, through the converter's
    // -k and the template.
    argv.insert(argv.end(), {"-o", (out / "out.dcm").string(), (out / "in.fst").string()});
    auto exported = kvtest::run(argv);
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(exported.err, "");
    auto dump = dicomtest::dump((out / "out.dcm").string());
    ASSERT_GE(expect.size(), 50u);
    for (auto [tag, value] : expect) {
        std::string lower = tag;
        for (char &c : lower)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(attr(dump, lower), value) << tag;
    }
}
