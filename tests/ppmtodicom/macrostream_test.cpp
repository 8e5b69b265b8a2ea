// The frame of the macro stream and the translation of header comments,
// driven in-process; the prelude's macros are checked in the real m4.
#include "convtest.h"
#include "fields.h"
#include "kvtest.h"

#include <kuvra/fileutil.h>

#include <cstring>
#include <ctime>
#include <regex>

using convtest::CoreTest;
using convtest::has_line;
using convtest::macro;

using namespace std::string_literals;

namespace {

// Translates the header lines (the first begins with '#') as the line loop
// does, returning everything written and what the reader left pending.
struct Translated {
    std::string out;
    enum kv_comment_next next;
    std::string pending;
};

Translated translate(const std::string &first, const std::string &rest) {
    Translated t;
    FILE *in = tmpfile();
    fwrite(first.data(), 1, first.size(), in);
    fputc('\n', in);
    fwrite(rest.data(), 1, rest.size(), in);
    rewind(in);
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    kuvra_convert::LineReader lines(in);
    lines.next();
    t.next = kuvra_convert::translate_header_comment(lines, out);
    if (t.next == KV_COMMENT_PENDING) t.pending = lines.text();
    fclose(out);
    fclose(in);
    t.out.assign(buf, len);
    free(buf);
    return t;
}

// Runs the real m4 over text, as the export pipeline does with a template.
kvtest::RunResult m4(const std::string &text) {
    kvtest::RunOptions opt;
    opt.input = text;
    return kvtest::run({"m4"}, opt);
}

} // namespace

TEST(Prelude, IsElevenLinesOf590Bytes) {
    std::string p(kv_m4_prelude_text);
    EXPECT_EQ(p.size(), 590u);
    EXPECT_EQ(std::count(p.begin(), p.end(), '\n'), 11);
    EXPECT_EQ(p.rfind("divert(-1)dnl\nchangequote([[,]])\n", 0), 0u);
}

TEST(Prelude, DateAndTimeAreZeroPaddedFromOneReading) {
    struct tm when {};
    when.tm_year = 2007 - 1900;
    when.tm_mon = 0;
    when.tm_mday = 5;
    when.tm_hour = 3;
    when.tm_min = 4;
    when.tm_sec = 9;
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    m4_prelude_at(out, &when);
    fclose(out);
    std::string s(buf, len);
    free(buf);
    EXPECT_EQ(s.substr(590), "define([[XX_CURRENT_DATE]],[[20070105]])\n"
                             "define([[XX_CURRENT_TIME]],[[030409]])\n");
}

TEST(Prelude, UtilityMacrosWorkInRealM4) {
    std::string defs =
        std::string(kv_m4_prelude_text) + "define([[XX_A]],[[alpha]])\n" + KV_M4_CLOSING;
    auto r = m4(defs + "XX_DEFAULT([[XX_A]],[[no]])XX_DEFAULT([[XX_B]],[[beta]])XX_A XX_B\n"
                       "XX_OVERRIDE([[XX_A]],[[gamma]])XX_A\n"
                       "XX_UNSET([[XX_A]])ifdef([[XX_A]],[[set]],[[unset]])\n"
                       "XX_OPTIONAL([[XX_C]])[<]XX_C[>]\n"
                       "XX_OVERRIDE_IFDEF([[XX_D]],[[XX_B]])XX_D\n"
                       "XX_REQUIRE([[XX_B]])XX_REQUIRE_VALUE([[XX_B]],[[beta]])ok\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "alpha beta\ngamma\nunset\n[<][>]\nbeta\nok\n\n" KV_END_MARK "\n");
    EXPECT_EQ(r.err, "");
}

TEST(Prelude, RequireFailuresEndM4WithTheirMessages) {
    std::string defs = std::string(kv_m4_prelude_text) + "define([[XX_V]],[[3]])\n" + KV_M4_CLOSING;
    auto missing = m4(defs + "XX_REQUIRE([[XX_NOPE]])after\n");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Cannot find XX_NOPE, but marked as required.\n");
    EXPECT_EQ(missing.out.find("after"), std::string::npos);
    auto wrong = m4(defs + "XX_REQUIRE_VALUE([[XX_V]],[[4]])after\n");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, "Incorrect value 3 for XX_V - should be 4.\n");
    // The value is compared and printed as it is defined, never rescanned:
    // a value that only expands to the expected text is not taken for it.
    const std::string trap = "define([[XX_T]],[[syscmd([[echo RAN >&2]])U8]])\n";
    auto trapped =
        m4(std::string(kv_m4_prelude_text) + trap + "XX_REQUIRE_VALUE([[XX_T]],[[U8]])\n");
    EXPECT_EQ(trapped.status, 1);
    EXPECT_EQ(trapped.err, "Incorrect value syscmd([[echo RAN >&2]])U8 for XX_T - should be U8.\n");
    auto plain = m4(std::string(kv_m4_prelude_text) + trap +
                    "XX_REQUIRE_VALUE([[XX_T]],[[syscmd([[echo RAN >&2]])U8]])divert[[]]ok\n");
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, "ok\n");
    EXPECT_EQ(plain.err, "");
}

TEST(DataFormat, NamesOnlyTheThreeInputs) {
    EXPECT_STREQ(data_format_name(8), "P5");
    EXPECT_STREQ(data_format_name(9), "P6");
    EXPECT_STREQ(data_format_name(24), "KUVRA_FIELDSET");
    for (int code : {0, 1, 2, 7, 10, 23, 25, 37, -1})
        EXPECT_EQ(data_format_name(code), nullptr) << code;
}

TEST(HeaderComment, GenericKeysKeepLettersAndDigits) {
    EXPECT_EQ(translate("#Patient Name:\tDoe", "").out, "define([[XX_Patient_Name]],[[Doe]])\n");
    EXPECT_EQ(translate("#Patient Name :\tDoe", "").out, "define([[XX_Patient_Name_]],[[Doe]])\n");
    EXPECT_EQ(translate("#\t Slice2-x.y:\tv", "").out, "define([[XX_Slice2_x_y]],[[v]])\n");
    EXPECT_EQ(translate("#:\tv", "").out, "define([[XX_]],[[v]])\n");
    // Bytes from 128 up are neither letters nor digits.
    EXPECT_EQ(translate("#K\xc3\xa9y:\t\xc3\xa9", "").out, "define([[XX_K__y]],[[\xc3\xa9]])\n");
    // The value is everything after the first colon and tab, colons included.
    EXPECT_EQ(translate("#Time:\t12:30:\t00", "").out, "define([[XX_Time]],[[12:30:\t00]])\n");
}

TEST(HeaderComment, DicomKeysBecomeGroupAndElement) {
    EXPECT_EQ(translate("#  Dicom/(10, 20):\tABC", "").out,
              "define([[XX_DICOM_0010_0020]],[[ABC]])\n");
    EXPECT_EQ(translate("#Dicom/(8,103e):\tx", "").out, "define([[XX_DICOM_0008_103E]],[[x]])\n");
    EXPECT_EQ(translate("#Dicom/(0x7fe0,00010):\tx", "").out,
              "define([[XX_DICOM_7FE0_0010]],[[x]])\n");
}

// "%x" took any number of digits and wrapped them: (100000010,100000010)
// set PatientName.  A number beyond four hex digits names no tag.
TEST_F(CoreTest, TagNumbersBeyondFourHexDigitsAreDropped) {
    for (const char *bad : {"#Dicom/(100000010,100000010):\tAliased^Name", "#Dicom/(12345,0):\tx",
                            "#Dicom/(10,10010):\tx", "#Dicom/(-1,10):\tx"}) {
        debug_init();
        auto t = translate(bad, "#+Dicom/(10,10):\tmore\nnext\n");
        EXPECT_EQ(t.out, "") << bad;
        EXPECT_EQ(t.next, KV_COMMENT_PENDING) << bad;
        EXPECT_EQ(t.pending, "next") << bad;
        std::string key = std::string(bad).substr(1, std::string(bad).find(':') - 1);
        EXPECT_EQ(
            convtest::logged(),
            std::vector<std::string>{
                "Header comment with a tag number beyond four hex digits dropped: " + key + "\n"})
            << bad;
    }
}

// A value reaches the macro stream whole or not at all: a NUL or CR used to
// end it there ("Doe<NUL>Jane" became "Doe", "AB<CR>CD" became "AB").
TEST_F(CoreTest, ControlCharactersInValuesDropTheComment) {
    struct Case {
        std::string first, rest;
        unsigned char control;
    } cases[] = {
        {"#PatientName:\tDoe\0Jane"s, "", 0x00},
        {"#PatientID:\tAB\rCD", "", 0x0D},
        {"#PatientID:\tAB\r\r", "", 0x0D},
        {"#PatientID:\tA\x01", "", 0x01},
        {"#PatientID:\tA\x7f", "", 0x7F},
        {"#PatientID:\tA\vB", "", 0x0B},
        {"#PatientID:\tA", "#+PatientID:\tB\x1f\n", 0x1F},
    };
    for (const auto &k : cases) {
        debug_init();
        auto t = translate(k.first, k.rest);
        EXPECT_EQ(t.out, "") << k.first;
        char want[96];
        snprintf(want, sizeof want, "Header comment with control character 0x%02X dropped: %s\n",
                 k.control, k.first.substr(1, k.first.find(':') - 1).c_str());
        EXPECT_EQ(convtest::logged(), std::vector<std::string>{want}) << k.first;
    }
    // TAB, FF and ESC are characters of DICOM text, bytes from 128 up belong
    // to the character sets; a CR before the line feed ends the line.
    debug_init();
    const std::string kept = "a\tb\fc\x1b$B\xe5\xb1\xb1\xc3\xa9";
    EXPECT_EQ(translate("#Key:\t" + kept + "\r", "").out, "define([[XX_Key]],[[" + kept + "]])\n");
    EXPECT_TRUE(convtest::logged().empty());
}

// A line is read to its line feed however long it is: the tail of a long
// value is never read as a line of its own.
TEST_F(CoreTest, LongLinesArriveWhole) {
    const std::string a(10223, 'a');
    auto t = translate("#ImageComments:\t" + a + "#PatientID:\tINJECTED", "#PatientID:\tOK\n");
    EXPECT_EQ(t.out, "define([[XX_ImageComments]],[[" + a + "#PatientID:\tINJECTED]])\n");
    EXPECT_EQ(t.pending, "#PatientID:\tOK");
    const std::string b(20000, 'b');
    t = translate("#Key:\tx", "#+Key:\t" + b + "\n#+Key:\ty\nrest\n");
    EXPECT_EQ(t.out, "define([[XX_Key]],[[x" + b + "y]])\n");
    EXPECT_EQ(t.pending, "rest");
    EXPECT_TRUE(convtest::logged().empty());
}

// The header comments of an input are at most 4096, of 1 MiB in all: up
// to the bounds every one is kept (dropped ones and continuation lines
// count too, line ends do not), one past either stops the run where it
// stands, with nothing more written, however it gets there.
TEST_F(CoreTest, HeaderCommentsAreBoundInNumberAndSize) {
    using kuvra_convert::LineReader;
    const size_t bytes = LineReader::comments_max_bytes, count = LineReader::comments_max_count;
    ASSERT_EQ(bytes, size_t(1) << 20);
    ASSERT_EQ(count, 4096u);
    const std::string refused =
        "More than 4096 header comments or 1 MiB of them; the input is refused.\n";
    // A kept comment with a continuation, a dropped one, and one whose CR LF
    // line fills the bytes up to the bound plus extra.
    auto filled = [&](size_t extra) {
        const std::string a = "#A:\t" + std::string(1000, 'a'),
                          c = "#+A:\t" + std::string(2000, 'c');
        const std::string d = "#Dropped " + std::string(500, 'd');
        const size_t left = bytes - a.size() - c.size() - d.size() - 4 + extra;
        return "P6\n" + a + "\n" + c + "\n" + d + "\n#B:\t" + std::string(left, 'b') +
               "\r\n1 1\n255\nxyz";
    };
    auto many = [](size_t n, const std::string &tail) {
        std::string in = "P6\n";
        for (size_t i = 0; i < n; i++)
            in += "#K" + std::to_string(i) + ":\tv\n" + (i % 2 ? "#+K:\tw\n" : "");
        return in + tail;
    };
    auto at = convert(filled(0), 9);
    EXPECT_EQ(at.status, 0);
    EXPECT_EQ(macro(at.out, "XX_A").size(), 3000u);
    EXPECT_EQ(macro(at.out, "XX_B").size(), bytes - 1004 - 2005 - 509 - 4);
    EXPECT_TRUE(at.log.empty());
    auto all = convert(many(count, "1 1\n255\nxyz"), 9);
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(macro(all.out, "XX_K4095"), "vw");
    EXPECT_TRUE(all.out.ends_with(KV_M4_CLOSING));
    tdroot_remove_all();

    // The input, and the macro of the comment that goes past a bound.
    const std::string past = std::string(bytes - 4, 'p');
    const std::pair<std::string, const char *> cases[] = {
        {filled(1), "XX_B"},
        {many(count + 1, "1 1\n255\nxyz"), "XX_K4096"},
        {many(count, "#Dropped\n1 1\n255\nxyz"), "XX_FIELD_RGB"},
        {"P6\n#A:\t" + past + "\n#+A:\tx\n1 1\n255\nxyz", "XX_A"},
        // Read to its line feed, not held: the data after it are not taken.
        {"P6\n#A:\t" + std::string(3 * bytes, 'p') + "\n1 1\n255\nxyz", "XX_FIELD_RGB"},
        // Comments after the data count as well.
        {"P6\n#A:\t" + past + "\n1 1\n255\nxyz#B:\tb\n", "XX_B"},
    };
    for (const auto &[input, name] : cases) {
        auto over = convert(input, 9);
        EXPECT_EQ(over.status, 1) << name;
        EXPECT_EQ(over.log, std::vector<std::string>{refused}) << name;
        EXPECT_EQ(macro(over.out, name), "<undefined>");
        EXPECT_FALSE(over.out.ends_with(KV_M4_CLOSING));
        tdroot_remove_all();
    }
}

TEST_F(CoreTest, MalformedHeaderLinesAreDropped) {
    for (const char *bad : {"#Dicom/(zz,1):\tx", "#Dicom/(10 ,20):\tx", "#Dicom/(10,20)\tx",
                            "#Dicom/(10,20): x", "#Key: value", "#Key", "#", "#Key:"}) {
        auto t = translate(bad, "next\n");
        EXPECT_EQ(t.out, "") << bad;
        EXPECT_EQ(t.next, KV_COMMENT_NONE) << bad;
    }
    // Only the one surely meant for an attribute says so.
    EXPECT_EQ(convtest::logged(), std::vector<std::string>{
                                      "Header comment Dicom/(10,20) dropped: a blank follows the "
                                      "colon where a TAB must; write #Dicom/(10,20):<TAB>value\n"});
}

TEST(HeaderComment, ContinuationsJoinWithoutSeparator) {
    auto t = translate("#Key:\tab", "#+Key:\tcd\n# +Key:\tef\n#+Other:\tgh\nrest\n");
    // Any continuation line continues the value, whatever key it names.
    EXPECT_EQ(t.out, "define([[XX_Key]],[[abcdefgh]])\n");
    EXPECT_EQ(t.next, KV_COMMENT_PENDING);
    EXPECT_EQ(t.pending, "rest");
}

TEST(HeaderComment, NonContinuationLinesAreHandedBack) {
    for (const char *next : {"#Other:\tv", "#+Key:cd", "#+Key", "# x+Key:\tcd", "", "P6"}) {
        auto t = translate("#Key:\tab", std::string(next) + "\n");
        EXPECT_EQ(t.out, "define([[XX_Key]],[[ab]])\n") << next;
        EXPECT_EQ(t.next, KV_COMMENT_PENDING) << next;
        EXPECT_EQ(t.pending, next);
    }
}

TEST(HeaderComment, EndOfInputStillClosesTheDefinition) {
    auto t = translate("#Key:\tab", "#+Key:\tcd");
    EXPECT_EQ(t.out, "define([[XX_Key]],[[abcd]])\n");
    EXPECT_EQ(t.next, KV_COMMENT_EOF);
}

TEST(HeaderComment, ValuesFromTheWriterRoundTrip) {
    // A value written in pieces by the header writer comes back whole.
    std::string value(25000, 'v');
    for (size_t i = 0; i < value.size(); i += 7)
        value[i] = char('a' + i % 26);
    char *buf = nullptr;
    size_t len = 0;
    FILE *w = open_memstream(&buf, &len);
    write_comment_maxlen(w, 1000, "#", "Long Key", value.c_str());
    fclose(w);
    std::string lines(buf, len);
    free(buf);
    size_t nl = lines.find('\n');
    auto t = translate(lines.substr(0, nl), lines.substr(nl + 1));
    EXPECT_EQ(t.out, "define([[XX_Long_Key]],[[" + value + "]])\n");
}

TEST(QuoteBalance, FollowsM4QuoteNesting) {
    struct Case {
        const char *text;
        bool balanced;
    } cases[] = {
        {"", true},
        {"plain, text (1)", true},
        {"[[x]]", true},
        {"a[[b[[c]]d]]e", true},
        {"[x] ]x[", true},
        {"]", true},
        {"[", true},
        {"[[]]]", true},
        {"x]]", false},
        {"]]", false},
        {"[[x]]]]", false},
        {"[[", false},
        {"[[[", false},
        {"[]]", false},
        {"x]])syscmd([[id]])dnl", false},
        {"[[a]][[b", false},
        {"]][[", false},
        {"x]]y[[z", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(m4_quotes_balanced(c.text, strlen(c.text)), c.balanced ? 1 : 0) << c.text;
}

class UnbalancedHeader : public CoreTest {};

TEST_F(UnbalancedHeader, ValueIsDroppedAndLoggedWithItsKey) {
    auto t = translate("#Patient Name:\tx]])syscmd([[touch /tmp/x]])dnl", "next\n");
    EXPECT_EQ(t.out, "");
    EXPECT_EQ(t.next, KV_COMMENT_PENDING);
    EXPECT_EQ(convtest::logged(),
              std::vector<std::string>{"Header comment with unbalanced m4 quotes dropped: "
                                       "Patient Name\n"});
}

TEST_F(UnbalancedHeader, CheckCoversTheJoinedValue) {
    // Each line alone is unbalanced, together they nest.
    auto joined = translate("#Key:\ta[[b", "#+Key:\tc]]d\n");
    EXPECT_EQ(joined.out, "define([[XX_Key]],[[a[[bc]]d]])\n");
    // Each line alone is balanced, together they are not.
    auto split = translate("#Dicom/(10,10):\ta]", "#+Dicom/(10,10):\t]b\n");
    EXPECT_EQ(split.out, "");
    EXPECT_EQ(convtest::logged(),
              std::vector<std::string>{"Header comment with unbalanced m4 quotes dropped: "
                                       "Dicom/(10,10)\n"});
}

TEST_F(UnbalancedHeader, NestedQuotesAreWrittenUnchangedAndStayQuotedInM4) {
    auto t = translate("#Note:\t[[syscmd(echo RAN)]]", "");
    EXPECT_EQ(t.out, "define([[XX_Note]],[[[[syscmd(echo RAN)]]]])\n");
    auto r =
        m4(std::string(kv_m4_prelude_text) + t.out + "divert[[]]dnl\n" + "defn([[XX_Note]])\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[[syscmd(echo RAN)]]\n");
}

TEST_F(CoreTest, CommentsAtEveryPlaceOfTheStream) {
    auto c = convert("KUVRA_FST\n#A:\t1\n#B:\t2\n#+B:\t3\nFIELD\nf\nU8 1\n1\n1\n1\nx\n"
                     "ENDFIELD\n#C:\tend",
                     24);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(macro(c.out, "XX_A"), "1");
    EXPECT_EQ(macro(c.out, "XX_B"), "23");
    EXPECT_EQ(macro(c.out, "XX_C"), "end");
    // The comment at the very end is closed before the closing line.
    EXPECT_TRUE(c.out.ends_with("define([[XX_C]],[[end]])\n" KV_M4_CLOSING));
}

TEST_F(CoreTest, StreamFrameIsPreludeClockFormatAndClosingLine) {
    auto c = convert("P6\n", 9);
    ASSERT_EQ(c.status, 0);
    ASSERT_GE(c.out.size(), 590u);
    EXPECT_EQ(c.out.substr(0, 590), kv_m4_prelude_text);
    std::string rest = c.out.substr(590);
    ASSERT_TRUE(rest.ends_with(KV_M4_CLOSING)) << rest;
    rest.resize(rest.size() - strlen(KV_M4_CLOSING));
    EXPECT_TRUE(std::regex_match(rest, std::regex("define\\(\\[\\[XX_CURRENT_DATE\\]\\],\\[\\["
                                                  "[0-9]{8}\\]\\]\\)\n"
                                                  "define\\(\\[\\[XX_CURRENT_TIME\\]\\],\\[\\["
                                                  "[0-9]{6}\\]\\]\\)\n"
                                                  "define\\(\\[\\[XX_DATA_FORMAT\\]\\],\\[\\[P6"
                                                  "\\]\\]\\)\n")))
        << rest;
    // m4 writes the end mark last, to diversion 0, whatever the template
    // left diverted.
    kvtest::RunOptions o;
    o.input = c.out + "divert(-1)dnl\n";
    auto m = kvtest::run({"m4", "-"}, o);
    EXPECT_EQ(m.out, "\n" KV_END_MARK "\n");
    EXPECT_EQ(convert_stream(nullptr, nullptr, 1), -1);
}

TEST_F(CoreTest, StreamThatLostItsMagicLineIsRefused) {
    auto c = convert("", 24);
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.log, std::vector<std::string>{"Input file must be P5, P6 or KUVRA_FIELDSET\n"});
    EXPECT_FALSE(c.out.ends_with(KV_M4_CLOSING));
}
