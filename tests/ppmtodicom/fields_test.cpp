// Fieldset blocks, the P6 and P5 images and their definitions, driven
// in-process through convert_stream.
#include "convtest.h"
#include "kvtest.h"

#include <sys/stat.h>
#include <unistd.h>

using convtest::CoreTest;
using convtest::field;
using convtest::has_line;
using convtest::macro;
using convtest::pattern;
using convtest::spool_names;
using Log = std::vector<std::string>;

namespace {
const std::string fst = "KUVRA_FST\n";
}

class Fieldset : public CoreTest {};

TEST_F(Fieldset, SeveralFieldsWithTheirDefinitionsInOrder) {
    std::string a = pattern(10, 1), b = pattern(24, 2);
    auto c = convert(fst + field("Slice 2", "S16 2", "3", "4 5 6", a) + "\n" +
                         field("b", "F32 4", "2", "3 2", b),
                     24);
    ASSERT_EQ(c.status, 0) << c.out;
    EXPECT_EQ(macro(c.out, "XX_DATA_FORMAT"), "KUVRA_FIELDSET");
    auto names = spool_names(c.out);
    ASSERT_EQ(names.size(), 2u);
    auto swaps = convtest::swap_names(c.out);
    ASSERT_EQ(swaps.size(), 2u);
    // Blank and digit both become underscores in a field name.
    std::string expected = "define([[XX_FIELD_Slice__]])\n"
                           "define([[XX_FIELD_Slice___ITEM_TYPE]],[[S16]])\n"
                           "define([[XX_FIELD_Slice___ITEM_SIZE]],[[2]])\n"
                           "define([[XX_FIELD_Slice___DIMENSIONS]],[[3]])\n"
                           "define([[XX_FIELD_Slice___SIZE1]],[[4]])\n"
                           "define([[XX_FIELD_Slice___SIZEX]],[[4]])\n"
                           "define([[XX_FIELD_Slice___SIZE2]],[[5]])\n"
                           "define([[XX_FIELD_Slice___SIZEY]],[[5]])\n"
                           "define([[XX_FIELD_Slice___SIZE3]],[[6]])\n"
                           "define([[XX_FIELD_Slice___SIZEZ]],[[6]])\n"
                           "define([[XX_FIELD_Slice___TOTAL_SIZE]],[[10]])\n"
                           "define([[XX_FIELD_Slice___DATA]],[[undivert([[" +
                           names[0] + "]])]])\n" +
                           convtest::data_bs_definition("Slice__", names[0], swaps[0]) +
                           "define([[XX_FIELD_b]])\n";
    EXPECT_NE(c.out.find(expected), std::string::npos) << c.out;
    EXPECT_EQ(kvtest::read_file(names[0]), a);
    EXPECT_EQ(kvtest::read_file(names[1]), b);
    EXPECT_EQ(macro(c.out, "XX_FIELD_b_SIZEY"), "2");
    EXPECT_TRUE(c.log.empty());
    // The files for the swapped copies are the converter's own, made new
    // and private at a name no one could know before, and empty until dd
    // writes them.
    for (const std::string &swap : swaps) {
        struct stat st {};
        ASSERT_EQ(lstat(swap.c_str(), &st), 0) << swap;
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_size, 0);
        EXPECT_TRUE(swap.starts_with("/tmp/kuvra_ppmtodicom_") && swap.ends_with(".bs")) << swap;
    }
    EXPECT_NE(swaps[0], names[0] + ".bs");
    // Newest first in the list of spooled files, which holds them too.
    std::vector<std::string> listed;
    for (const tdnode *n = tdroot; n; n = n->next)
        listed.push_back(n->name);
    EXPECT_EQ(listed, (std::vector<std::string>{swaps[1], names[1], swaps[0], names[0]}));
}

TEST_F(Fieldset, OneToSixteenDimensionsUseTheirLetters) {
    const std::string letters = "XYZABCDEFGHIJKLM";
    for (int dims = 1; dims <= 16; dims++) {
        std::string sizes;
        for (int i = 0; i < dims; i++)
            sizes += std::to_string(i + 2) + " ";
        auto c = convert(fst + field("f", "U8 1", std::to_string(dims), sizes, "z"), 24);
        ASSERT_EQ(c.status, 0) << dims;
        EXPECT_EQ(macro(c.out, "XX_FIELD_f_DIMENSIONS"), std::to_string(dims));
        for (int i = 0; i < dims; i++) {
            std::string v = std::to_string(i + 2);
            EXPECT_EQ(macro(c.out, "XX_FIELD_f_SIZE" + std::to_string(i + 1)), v) << dims;
            EXPECT_EQ(macro(c.out, "XX_FIELD_f_SIZE" + letters.substr(i, 1)), v) << dims;
        }
        EXPECT_EQ(macro(c.out, "XX_FIELD_f_SIZE" + std::to_string(dims + 1)), "<undefined>");
        if (dims < 16) {
            EXPECT_EQ(macro(c.out, "XX_FIELD_f_SIZE" + letters.substr(dims, 1)), "<undefined>");
        }
        tdroot_remove_all();
    }
}

TEST_F(Fieldset, SizesLineIsReadLeniently) {
    auto c = convert(
        fst + field("a", "U8 1", "3", "512 512", "") + field("b", "U8 1", "3", "7,8,9", "") +
            field("c", "U8 1", "2", "  1\t2 3 4", "") + field("d", "U8 1", "2", "x 5", ""),
        24);
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(macro(c.out, "XX_FIELD_a_SIZEZ"), "0");
    EXPECT_EQ(macro(c.out, "XX_FIELD_b_SIZE1"), "7");
    EXPECT_EQ(macro(c.out, "XX_FIELD_b_SIZE2"), "0");
    EXPECT_EQ(macro(c.out, "XX_FIELD_b_SIZE3"), "0");
    EXPECT_EQ(macro(c.out, "XX_FIELD_c_SIZEY"), "2");
    EXPECT_EQ(macro(c.out, "XX_FIELD_c_SIZE3"), "<undefined>");
    EXPECT_EQ(macro(c.out, "XX_FIELD_d_SIZEX"), "0");
    EXPECT_EQ(macro(c.out, "XX_FIELD_d_SIZEY"), "0");
}

TEST_F(Fieldset, ZeroSizeDataGetsAnEmptyFileAndAllMacros) {
    auto c = convert(
        fst + "FIELD\nz\nU8 1\n1\n0\n0\nENDFIELD\n" + "FIELD\nn\nU8 1\n1\n0\n-5\nENDFIELD\n", 24);
    ASSERT_EQ(c.status, 0) << c.log.size();
    auto names = spool_names(c.out);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(kvtest::read_file(names[0]), "");
    EXPECT_EQ(kvtest::read_file(names[1]), "");
    EXPECT_EQ(macro(c.out, "XX_FIELD_z_TOTAL_SIZE"), "0");
    EXPECT_EQ(macro(c.out, "XX_FIELD_n_TOTAL_SIZE"), "-5");
    EXPECT_NE(macro(c.out, "XX_FIELD_z_DATA_BS"), "<undefined>");
}

TEST_F(Fieldset, DataCrossingChunksIsCopiedByteExact) {
    for (size_t n : {size_t(65535), size_t(65536), size_t(65537), size_t(3 * 65536 + 17)}) {
        std::string data = pattern(n, unsigned(n));
        // Data that looks like lines of the format must not be read as such.
        data.replace(100, 20, "\nENDFIELD\nFIELD\n#x:\t");
        auto c = convert(
            fst + field("big", "U8 1", "1", std::to_string(n), data) + "#after:\tyes\n", 24);
        ASSERT_EQ(c.status, 0) << n;
        auto names = spool_names(c.out);
        ASSERT_EQ(names.size(), 1u);
        EXPECT_TRUE(kvtest::read_file(names[0]) == data) << n;
        EXPECT_EQ(macro(c.out, "XX_after"), "yes");
        tdroot_remove_all();
    }
}

TEST_F(Fieldset, TopLevelLinesAndEmptyLinesAroundEndfield) {
    auto c = convert(
        fst + "\nENDFIELD\nstray words\n FIELD\nFIELD\nf\nU8 1\n1\n1\n2\nab\n\n\nENDFIELD\n", 24);
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(c.log, (Log{"Non-field keyword in fieldset file: stray words\n",
                          "Non-field keyword in fieldset file:  FIELD\n"}));
    EXPECT_EQ(spool_names(c.out).size(), 1u);
}

TEST_F(Fieldset, BadTypeDescriptorAbandonsTheBlock) {
    // The rest of the block is read at top level.
    auto c = convert(
        fst + "FIELD\nf\nU8\n1\n1\n1\nx\nENDFIELD\n" + field("g", "U8 1", "1", "1", "y"), 24);
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(
        c.log,
        (Log{"Cannot parse type descriptor\n", "Non-field keyword in fieldset file: 1\n",
             "Non-field keyword in fieldset file: 1\n", "Non-field keyword in fieldset file: 1\n",
             "Non-field keyword in fieldset file: x\n"}));
    EXPECT_EQ(macro(c.out, "XX_FIELD_f"), "<undefined>");
    EXPECT_EQ(macro(c.out, "XX_FIELD_g"), "");
}

// The item type goes into a macro body that templates compare and print:
// only the format's type names get there.
TEST_F(Fieldset, ItemTypeIsOneOfTheFormatsNames) {
    for (const char *type : {"U8]])syscmd([[id]])dnl 1", "[[U8 1", "U8 x", "U8 99999999999",
                             "syscmd(id>/tmp/PWNED)U8 1", "A[[b]]c 1", "u8 1", "U12 2", "U8U8 2",
                             "dnl 1", "U8,U16 1", "R8G8B8A8 4", " U8 1"}) {
        auto c = convert(fst + "FIELD\nf\n" + type + "\n", 24);
        EXPECT_EQ(c.status, 0) << type;
        EXPECT_EQ(macro(c.out, "XX_FIELD_f"), "<undefined>") << type;
        ASSERT_FALSE(c.log.empty());
        EXPECT_EQ(c.log.back(), "Cannot parse type descriptor\n");
    }
    // Every name the guide lists, and only those (the names above are not).
    std::vector<std::string> listed;
    for (const auto &row : kvtest::doc_table("docs/templates.md", "item types"))
        for (const std::string &t : kvtest::code_spans(row.at(0)))
            listed.push_back(t);
    EXPECT_EQ(listed.size(), 11u);
    for (const std::string &type : listed) {
        auto c = convert(fst + field("f", type + "\t3", "1", "1", "x"), 24);
        EXPECT_EQ(macro(c.out, "XX_FIELD_f_ITEM_TYPE"), type);
        EXPECT_EQ(macro(c.out, "XX_FIELD_f_ITEM_SIZE"), "3");
    }
}

// A line is never cut into pieces that are read as lines of their own: a
// name or type descriptor too long for its 127 bytes is refused whole, and
// a header comment between blocks arrives whole.
TEST_F(Fieldset, LongLinesAreWholeOrRefused) {
    const std::string body = "U8 1\n1\n3\n3\nabc\nENDFIELD\n";
    auto c = convert(fst + "FIELD\n" + std::string(127, 'n') + "\n" + body, 24);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(macro(c.out, "XX_FIELD_" + std::string(127, 'n') + "_TOTAL_SIZE"), "3");
    c = convert(fst + "FIELD\n" + std::string(128, 'n') + "\n" + body, 24);
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.log, (Log{"Field name too long.\n"}));
    // Before, 127 bytes of a 130-byte name were taken and its tail "nnn"
    // read as the type descriptor.
    c = convert(fst + "FIELD\nf\nU8 " + std::string(200, '1') + "\n1\n3\n3\nabc\nENDFIELD\n", 24);
    EXPECT_EQ(c.log.at(0), "Cannot parse type descriptor\n");

    const std::string comment(12000, 'c');
    c = convert(fst + "#ImageComments:\t" + comment + "\nFIELD\nf\n" + body, 24);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(macro(c.out, "XX_ImageComments"), comment);
    EXPECT_TRUE(c.log.empty()) << c.log.at(0).substr(0, 80);
}

TEST_F(Fieldset, FatalConditionsStopTheRun) {
    struct Case {
        std::string input;
        std::string message;
    } cases[] = {
        {"FIELD\nf\nU8 1\n0\n1\n1\nx\nENDFIELD\n", "Dimensions bad!\n"},
        {"FIELD\nf\nU8 1\n17\n1\n1\nx\nENDFIELD\n", "Dimensions bad!\n"},
        {"FIELD\nf\nU8 1\nthree\n1\n1\nx\nENDFIELD\n", "Dimensions bad!\n"},
        {"FIELD\nf\nU8 1\n1\n1\n1\nx", "ENDFIELD not found.\n"},
        {"FIELD\nf\nU8 1\n1\n1\n1\nx\n\n\n", "ENDFIELD not found.\n"},
        {"FIELD\nf\nU8 1\n1\n1\n1\nx\n#c:\tv\nENDFIELD\n", "ENDFIELD not found.\n"},
        {"FIELD\nf\nU8 1\n1\n1\n1\nxyENDFIELD\n", "ENDFIELD not found.\n"},
        {"FIELD\n", "ENDFIELD not found.\n"},
        {"FIELD\nf\n", "ENDFIELD not found.\n"},
        {"FIELD\nf\nU8 1\n", "ENDFIELD not found.\n"},
        {"FIELD\nf\nU8 1\n1\n", "ENDFIELD not found.\n"},
        {"FIELD\nf\nU8 1\n1\n1\n", "ENDFIELD not found.\n"},
        {"FIELD\nf\nU8 1\n1\n1\nmany\nx\nENDFIELD\n", "Field size not supported.\n"},
        {"FIELD\nf\nU8 1\n1\n1\n2147483648\nx\nENDFIELD\n", "Field size not supported.\n"},
        {"FIELD\nf\nU8 1\n1\n99999999999\n1\nx\nENDFIELD\n", "Field size not supported.\n"},
        {"FIELD\nf\nU8 1\n1\n1\n5\nabc", "Ouch - rlen failure?\n"},
    };
    for (const auto &k : cases) {
        auto c = convert(fst + k.input, 24);
        EXPECT_EQ(c.status, 1) << k.input;
        ASSERT_FALSE(c.log.empty()) << k.input;
        EXPECT_EQ(c.log[0], k.message) << k.input;
        EXPECT_FALSE(c.out.ends_with(KV_M4_CLOSING)) << k.input;
    }
    auto c = convert(fst + "FIELD\nf\nU8 1\n1\n1\n5\nabc", 24);
    EXPECT_EQ(c.log, (Log{"Ouch - rlen failure?\n", "Field copy failure.\n"}));
    // The largest total size that fits is taken (and here runs out of data):
    // a field whose data end early defines none of its macros.
    auto big = convert(fst + "FIELD\nf\nU8 1\n1\n1\n2147483647\nx\n", 24);
    EXPECT_EQ(big.log, (Log{"Ouch - rlen failure?\n", "Field copy failure.\n"}));
    EXPECT_EQ(macro(big.out, "XX_FIELD_f_TOTAL_SIZE"), "<undefined>");
    EXPECT_EQ(macro(big.out, "XX_FIELD_f"), "<undefined>");
    // A run that stops after a whole field has the field's files listed, the
    // one for its swapped copy too, and the end of the run removes both.
    tdroot_remove_all();
    auto after =
        convert(fst + field("a", "U16 2", "1", "2", "ab") + "FIELD\nb\nU8 1\n1\n1\n5\nx", 24);
    EXPECT_EQ(after.status, 1);
    const std::vector<std::string> files{convtest::swap_names(after.out).at(0),
                                         spool_names(after.out).at(0)};
    std::vector<std::string> listed;
    for (const tdnode *n = tdroot; n; n = n->next)
        listed.push_back(n->name);
    EXPECT_EQ(listed, files);
    tdroot_remove_all();
    for (const std::string &f : files)
        EXPECT_NE(access(f.c_str(), F_OK), 0) << f;
}

class Images : public CoreTest {};

TEST_F(Images, P6BecomesFieldRGB) {
    std::string pixels = pattern(18);
    auto c = convert("P6\n#Patient:\tX\n2 3\n255\n" + pixels, 9);
    ASSERT_EQ(c.status, 0) << c.log.size();
    auto names = spool_names(c.out);
    ASSERT_EQ(names.size(), 1u);
    std::string tail = "define([[XX_Patient]],[[X]])\n"
                       "define([[XX_FIELD_RGB]])\n"
                       "define([[XX_FIELD_RGB_ITEM_TYPE]],[[R8G8B8]])\n"
                       "define([[XX_FIELD_RGB_ITEM_SIZE]],[[3]])\n"
                       "define([[XX_FIELD_RGB_DIMENSIONS]],[[2]])\n"
                       "define([[XX_FIELD_RGB_SIZEX]],[[2]])\n"
                       "define([[XX_FIELD_RGB_SIZE0]],[[2]])\n"
                       "define([[XX_FIELD_RGB_SIZEY]],[[3]])\n"
                       "define([[XX_FIELD_RGB_SIZE1]],[[3]])\n"
                       "define([[XX_FIELD_RGB_TOTAL_SIZE]],[[18]])\n"
                       "define([[XX_FIELD_RGB_DATA]],[[undivert([[" +
                       names[0] + "]])]])\n" KV_M4_CLOSING;
    EXPECT_TRUE(c.out.ends_with(tail)) << c.out;
    EXPECT_EQ(kvtest::read_file(names[0]), pixels);
}

TEST_F(Images, P5BecomesFieldGREY) {
    std::string bytes8 = pattern(12, 3);
    auto c8 = convert("P5\n4 3\n255\n" + bytes8, 8);
    ASSERT_EQ(c8.status, 0);
    auto names = spool_names(c8.out);
    ASSERT_EQ(names.size(), 1u);
    std::string expected =
        "define([[XX_DATA_FORMAT]],[[P5]])\n"
        "define([[XX_FIELD_GREY]])\n"
        "define([[XX_FIELD_GREY_ITEM_TYPE]],[[U8]])\n"
        "define([[XX_FIELD_GREY_ITEM_SIZE]],[[1]])\n"
        "define([[XX_FIELD_GREY_DIMENSIONS]],[[2]])\n"
        "define([[XX_FIELD_GREY_SIZEX]],[[4]])\n"
        "define([[XX_FIELD_GREY_SIZE0]],[[4]])\n"
        "define([[XX_FIELD_GREY_SIZEY]],[[3]])\n"
        "define([[XX_FIELD_GREY_SIZE1]],[[3]])\n"
        "define([[XX_FIELD_GREY_TOTAL_SIZE]],[[12]])\n"
        "define([[XX_FIELD_GREY_MAXVAL]],[[255]])\n"
        "define([[XX_FIELD_GREY_DATA]],[[undivert([[" +
        names[0] + "]])]])\n" +
        convtest::data_bs_definition("GREY", names[0], convtest::swap_names(c8.out).at(0)) +
        KV_M4_CLOSING;
    EXPECT_TRUE(c8.out.ends_with(expected)) << c8.out;
    EXPECT_EQ(kvtest::read_file(names[0]), bytes8);

    // Pixel bytes that begin with '#' are data, not header comments.
    std::string bytes16 = "#A:\t\n" + pattern(19, 4);
    auto c16 = convert("P5\n3 4\n4095\n" + bytes16, 8);
    ASSERT_EQ(c16.status, 0);
    EXPECT_EQ(macro(c16.out, "XX_FIELD_GREY_ITEM_TYPE"), "U16");
    EXPECT_EQ(macro(c16.out, "XX_FIELD_GREY_ITEM_SIZE"), "2");
    EXPECT_EQ(macro(c16.out, "XX_FIELD_GREY_TOTAL_SIZE"), "24");
    EXPECT_EQ(macro(c16.out, "XX_FIELD_GREY_MAXVAL"), "4095");
    EXPECT_EQ(macro(c16.out, "XX_A"), "<undefined>");
    EXPECT_EQ(kvtest::read_file(spool_names(c16.out)[0]), bytes16);
    EXPECT_TRUE(c16.log.empty());
}

TEST_F(Images, DepthBoundaries) {
    EXPECT_EQ(macro(convert("P5\n1 1\n1\nx", 8).out, "XX_FIELD_GREY_ITEM_TYPE"), "U8");
    EXPECT_EQ(macro(convert("P5\n1 1\n256\nxy", 8).out, "XX_FIELD_GREY_ITEM_SIZE"), "2");
    EXPECT_EQ(convert("P5\n1 1\n65535\nxy", 8).status, 0);
    EXPECT_EQ(convert("P6\n0 0\n255\n", 9).status, 0);
}

TEST_F(Images, HeaderFailuresAreFatal) {
    struct Case {
        int magic;
        std::string input;
        std::string message;
    } cases[] = {
        {9, "P6\n2\n255\n", "P6 failure reading size.\n"},
        {9, "P6\nx 2\n255\n", "P6 failure reading size.\n"},
        {9, "P6\n2 3 255\n", "P6 failure reading depth.\n"},
        {9, "P6\n2 3\n#255\n", "P6 failure reading depth.\n"},
        {9, "P6\n2 3\n", "P6 failure reading depth.\n"},
        {9, "P6\n2 3\n65535\n", "P6 depth is not 255.\n"},
        {9, "P6\n2 3\n99999999999\n", "P6 depth is not 255.\n"},
        {9, "P6\n-2 3\n255\n", "Image size not supported.\n"},
        {9, "P6\n2 -3\n255\n", "Image size not supported.\n"},
        {9, "P6\n30000 30000\n255\n", "Image size not supported.\n"},
        {9, "P6\n99999999999 1\n255\n", "Image size not supported.\n"},
        {9, "P6\n2 3\n255\nshort", "Ouch - rlen failure?\n"},
        {8, "P5\n2\n255\n", "P5 failure reading size.\n"},
        {8, "P5\n2 3\n", "P5 failure reading depth.\n"},
        {8, "P5\n2 3\nmax\n", "P5 failure reading depth.\n"},
        {8, "P5\n2 3\n0\n", "P5 depth is not 1 to 65535.\n"},
        {8, "P5\n2 3\n65536\n", "P5 depth is not 1 to 65535.\n"},
        {8, "P5\n-1 3\n255\n", "Image size not supported.\n"},
        {8, "P5\n50000 50000\n255\n", "Image size not supported.\n"},
        // Fits at one byte per pixel, not at two.
        {8, "P5\n40000 40000\n65535\n", "Image size not supported.\n"},
    };
    for (const auto &k : cases) {
        auto c = convert(k.input, k.magic);
        EXPECT_EQ(c.status, 1) << k.input;
        ASSERT_FALSE(c.log.empty()) << k.input;
        EXPECT_EQ(c.log[0], k.message) << k.input;
        EXPECT_EQ(macro(c.out, "XX_FIELD_RGB_DATA"), "<undefined>") << k.input;
    }
    // 40000 x 40000 fits one byte per pixel: the size check passes it.
    auto fits = convert("P5\n40000 40000\n255\n", 8);
    EXPECT_EQ(fits.log[0], "Ouch - rlen failure?\n");
}

TEST_F(Images, AnythingAfterThePixelsIsANewSizeLine) {
    std::string one = "P6\n1 1\n255\nabc";
    auto c = convert(one + "\n", 9);
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.log, (Log{"P6 failure reading size.\n"}));
    // All definitions of the first image were written.
    EXPECT_EQ(spool_names(c.out).size(), 1u);
    // A second size line after the pixels defines the field again.
    auto two = convert(one + "#Next:\t2\n1 1\n255\ndef", 9);
    EXPECT_EQ(two.status, 0);
    EXPECT_EQ(spool_names(two.out).size(), 2u);
    EXPECT_EQ(kvtest::read_file(spool_names(two.out)[1]), "def");
}
