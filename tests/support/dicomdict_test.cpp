// The data dictionary table through its lookups, on attributes that every
// table has (the short list of a build without DCMTK's dictionary too).
#include <kuvra/internal/dicomdict.h>

#include <gtest/gtest.h>

#include <string>

using namespace kuvra::internal;

namespace {

TEST(DicomDict, KeywordAndTagFindTheSameEntry) {
    struct Case {
        const char *keyword;
        uint16_t group, element;
        const char *vr;
        int vm_min, vm_max;
    };
    const Case cases[] = {
        {"PatientName", 0x0010, 0x0010, "PN", 1, 1},
        {"PixelSpacing", 0x0028, 0x0030, "DS", 2, 2},
        {"ImageType", 0x0008, 0x0008, "CS", 2, 0},
        {"SpecificCharacterSet", 0x0008, 0x0005, "CS", 1, 0},
        {"PhysiciansOfRecord", 0x0008, 0x1048, "PN", 1, 0},
        {"PixelData", 0x7FE0, 0x0010, "px", 1, 1},
        {"SOPClassUID", 0x0008, 0x0016, "UI", 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keyword);
        const DictEntry *k = dict_find_keyword(c.keyword);
        ASSERT_NE(k, nullptr);
        EXPECT_EQ(k, dict_find_tag(c.group, c.element));
        EXPECT_EQ(k->keyword(), c.keyword);
        EXPECT_EQ(k->group, c.group);
        EXPECT_EQ(k->element, c.element);
        EXPECT_EQ(k->vr_name(), c.vr);
        EXPECT_EQ(k->vm_min, c.vm_min);
        EXPECT_EQ(k->vm_max, c.vm_max);
        EXPECT_FALSE(k->is_range());
    }
}

TEST(DicomDict, UnknownNamesAndTagsFindNothing) {
    // Keywords are exact: case, blanks and prefixes do not match.
    for (const char *kw : {"patientname", "PatientNam", "PatientNameX", "Patient Name", "", "A",
                           "ZZZZZZZZZZZZZZZZZZZZZZZZZZ"})
        EXPECT_EQ(dict_find_keyword(kw), nullptr) << kw;
    EXPECT_EQ(dict_find_tag(0x0010, 0x0011), nullptr);
    EXPECT_EQ(dict_find_tag(0x0029, 0x1010), nullptr); // private
    EXPECT_EQ(dict_find_tag(0xFFFF, 0xFFFF), nullptr);
}

TEST(DicomDict, EveryEntryIsFoundByItsKeywordAndTag) {
    size_t n = 0;
    for (const DictEntry &d : dict_entries()) {
        ++n;
        ASSERT_EQ(dict_find_keyword(d.keyword()), &d) << d.keyword();
        const DictEntry *t = dict_find_tag(d.group, d.element);
        ASSERT_NE(t, nullptr) << d.keyword();
        // A range may start on a tag that a single entry or an earlier range owns.
        if (!d.is_range()) {
            EXPECT_EQ(t, &d) << d.keyword();
        }
        EXPECT_TRUE(d.covers(d.group, d.element)) << d.keyword();
    }
    EXPECT_GE(n, 80u);
    EXPECT_FALSE(dict_source().empty());
}

TEST(DicomDict, RangesKeepTheirParity) {
    DictEntry overlay{0x6000, 0x0010, 0x60FF, 0x0010, 1, {'U', 'S'}, 1, 1, 0, 0};
    EXPECT_TRUE(overlay.is_range());
    EXPECT_TRUE(overlay.covers(0x6000, 0x0010));
    EXPECT_TRUE(overlay.covers(0x60FE, 0x0010));
    EXPECT_FALSE(overlay.covers(0x6001, 0x0010)); // odd group: a private one
    EXPECT_FALSE(overlay.covers(0x6100, 0x0010));
    EXPECT_FALSE(overlay.covers(0x6002, 0x0011));
    DictEntry creator{0x0009, 0x0010, 0xFFFF, 0x00FF, 2 + 4 * 0, {'L', 'O'}, 1, 1, 0, 0};
    EXPECT_TRUE(creator.covers(0x0029, 0x0011));
    EXPECT_FALSE(creator.covers(0x0028, 0x0011));
    EXPECT_FALSE(creator.covers(0x0029, 0x0100));
}

} // namespace
