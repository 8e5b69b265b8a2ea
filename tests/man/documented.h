// What each installed program accepts and says: the options and the
// messages a user can meet, as the programs print them (printf formats).
// Every entry must be explained in the program's manual page.
#pragma once

#include <ostream>
#include <string_view>
#include <vector>

namespace documented {

struct Program {
    std::string_view name;
    std::vector<std::string_view> options;
    std::vector<std::string_view> messages;
    // Whether the page must spell out the DICOM module search path.
    bool module_search_path = false;
};

// Test names and failure reports show the program by name.
inline void PrintTo(const Program &p, std::ostream *os) {
    *os << p.name;
}

inline const std::vector<Program> &programs() {
    static const std::vector<Program> table{
        {"kuvra_ppmtodicom",
         {"-m", "-d", "-h"},
         {
             "Unknown option.\n",
             "Usage: %s [-m|-d m4module]\n",
             "Cannot find requested DICOM module.\n",
             "Cannot find DICOM config module dir. ??\n",
             "Cannot open output file/pipe.\n",
             "Input file must be P5, P6 or KUVRA_FIELDSET\n",
             "Cannot open input stream.\n",
             "Cannot write macro stream.\n",
             "P5 failure reading size.\n",
             "P5 failure reading depth.\n",
             "P5 depth is not 1 to 65535.\n",
             "P6 failure reading size.\n",
             "P6 failure reading depth.\n",
             "P6 depth is not 255.\n",
             "Image size not supported.\n",
             "Field size not supported.\n",
             "Dimensions bad!\n",
             "ENDFIELD not found.\n",
             "Field copy failure.\n",
             "Ouch - rlen failure?\n",
             "Ouch - wlen failure?\n",
             "Header comment with unbalanced m4 quotes dropped: %s\n",
             "Header comment too long dropped: %s\n",
             "Non-field keyword in fieldset file: %s\n",
             "Cannot parse type descriptor\n",
             // m4's own, from the prelude macros XX_REQUIRE and XX_REQUIRE_VALUE.
             "Cannot find %s, but marked as required.\n",
             "Incorrect value %s for %s - should be %s.\n",
         },
         true},
        {"kuvra_pnmto3d32",
         {"-H", "-D", "-h"},
         {
             "Usage: %s [-H] [-D]\n",
             "Unknown option.\n",
             "Cannot open input.\n",
             "Cannot read magic.\n",
             "Unsupported magic.\n",
             "Cannot read width/height.\n",
             "Cannot parse width/height.\n",
             "Cannot read depth.\n",
             "Cannot parse depth.\n",
             "Depth too high, not supported.\n",
             "Depth too high for non-P5, not supported.\n",
             "Cannot allocate line memory.\n",
             "Cannot read line %d.\n",
             "Cannot write line %d.\n",
             "Cannot write output.\n",
         },
         false},
        {"kuvra_FST_extract",
         {"-h"},
         {
             "Usage: %s\n",
             "Unknown option.\n",
             "Cannot open input.\n",
             "Cannot read magic.\n",
             "Unsupported magic.\n",
             "Expected 'FIELD' keyword.\n",
             "Expected 'FileCapsule' keyword.\n",
             "Expected 'U8 1' type.\n",
             "Expected 1-dimensional capsule.\n",
             "Cannot read filesize.\n",
             "Cannot parse filesize.\n",
             "Cannot read padded filesize.\n",
             "Capsule data ends early.\n",
             "Cannot write output.\n",
         },
         false},
        {"kuvra_pipeprefix", {}, {}, false},
        {"kuvra_dicom_synthesizer", {}, {}, false},
        {"kuvra_dicom_to_P5", {}, {}, false},
    };
    return table;
}

} // namespace documented
