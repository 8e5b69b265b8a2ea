// The synthesizer's VR rules and value checks, in-process: no DCMTK, so
// they run in every build, the 32-bit one included.
#include "synth_values.h"

#include <gtest/gtest.h>
#include <string>

using namespace kuvra::synth;

namespace {

struct Case {
    const char *vr;
    std::string value;
    bool utf8;
    const char *why; // nullptr: passes; else a part of the reason
};

} // namespace

TEST(SynthValues, TextChecksByVr) {
    const std::string lo64(64, 'x'), e64 = [] {
        std::string s;
        for (int i = 0; i < 64; ++i)
            s += "\xc3\xa9";
        return s;
    }();
    const Case cases[] = {
        // Number VRs: every value a number of the VR's range, blanks around it allowed.
        {"US", "65535", false, nullptr},
        {"US", "65536", false, "not a valid US number list"},
        {"US", "-1", false, "number list"},
        {"US", "1\\", false, "number list"}, // an empty second value
        {"US", " 12 ", false, nullptr},
        {"US", "", false, nullptr}, // an empty value is no value
        {"SS", "-32768\\0\\32767", false, nullptr},
        {"SS", "-32769", false, "SS number list"},
        {"UL", "4294967295", false, nullptr},
        {"UL", "4294967296", false, "number list"},
        {"SL", "-2147483649", false, "number list"},
        {"UV", "18446744073709551615", false, nullptr},
        {"UV", "18446744073709551616", false, "number list"},
        {"SV", "-9223372036854775808", false, nullptr},
        {"FL", "3.4e38", false, nullptr},
        {"FL", "3.5e38", false, "FL number list"},
        {"FD", "3.5e38\\-1e-300", false, nullptr},
        {"FD", "inf", false, "number list"},
        {"FD", "1.0x", false, "number list"},
        // Lengths in characters, per value; PN per component group.
        {"LO", lo64, false, nullptr},
        {"LO", lo64 + "x", false, "longer than the 64 characters that LO allows"},
        {"LO", lo64 + "\\" + lo64, false, nullptr},
        {"PN", lo64 + "=" + lo64, false, nullptr},
        {"PN", lo64 + "x=a", false, "64 characters that PN allows"},
        {"PN", e64, true, nullptr},
        {"PN", e64, false, "longer"}, // 128 bytes when not UTF-8
        {"CS", std::string(17, 'A'), false, "16 characters"},
        {"DA", "202401011", false, "DA is YYYYMMDD"},
        // Dates and times of the calendar and the clock, not just of the pattern.
        {"DA", "20240229\\19991231", false, nullptr},
        {"DA", "20240230", false, "not a date of the calendar: DA is YYYYMMDD"},
        {"DA", "20230229", false, "not a date"},
        {"DA", "21000229", false, "not a date"},
        {"DA", "20001301", false, "not a date"},
        {"DA", "2024-13-45", false, "DA is YYYYMMDD"},
        {"TM", "235960.123456\\07\\0730", false, nullptr},
        {"TM", "2400", false, "not a time of day: TM is HHMMSS"},
        {"TM", "1261", false, "not a time"},
        {"TM", "12:30", false, "not a time"},
        {"TM", "123000.1234567", false, "not a time"},
        // One value only: a backslash is a byte of it.
        {"ST", std::string(1000, 'a') + std::string(24, '\\'), false, nullptr},
        {"ST", std::string(1025, 'a'), false, "1024 characters"},
        {"UT", std::string(100000, 'a'), false, nullptr},
        // UTF-8 is checked only when the dataset is UTF-8.
        {"LO", "M\xfcller", true, "not valid UTF-8"},
        {"LO", "M\xfcller", false, nullptr},
        {"LO", "M\xc3\xbcller", true, nullptr},
        // The UTF-8 check comes first: it names the real fault.
        {"US", "\xff", true, "UTF-8"},
    };
    for (const Case &c : cases) {
        std::string why;
        bool ok = check_text_value(c.vr, c.value, c.utf8, why);
        if (!c.why) {
            EXPECT_TRUE(ok) << c.vr << " " << c.value.substr(0, 80) << ": " << why;
        } else {
            EXPECT_FALSE(ok) << c.vr << " " << c.value.substr(0, 80);
            EXPECT_NE(why.find(c.why), std::string::npos) << c.vr << ": " << why;
        }
    }
}

TEST(SynthValues, BinaryVrsAndTheirValueSizes) {
    for (const char *vr : {"OB", "UN"})
        EXPECT_EQ(bytes_per_value(vr), 1u) << vr;
    EXPECT_EQ(bytes_per_value("OW"), 2u);
    EXPECT_EQ(bytes_per_value("OF"), 4u);
    EXPECT_EQ(bytes_per_value("OL"), 4u);
    EXPECT_EQ(bytes_per_value("OD"), 8u);
    EXPECT_EQ(bytes_per_value("OV"), 8u);
}

TEST(SynthValues, MessagesShowTagsAndValuesReadably) {
    EXPECT_EQ(tag_text(0x7FE0, 0x0010), "(7FE0,0010)");
    EXPECT_EQ(tag_text(0x0008, 0x103e), "(0008,103E)");
    EXPECT_EQ(shown("a\"b\\c\x01\xfc"), "\"a\\\"b\\\\c\\x01\\xFC\"");
    const std::string s = shown(std::string(500, 'a'));
    EXPECT_EQ(s, "\"" + std::string(200, 'a') + "...\"");
}
