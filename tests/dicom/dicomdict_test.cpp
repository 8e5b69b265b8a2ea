// The generated data dictionary table against DCMTK's own reading of the
// dictionary text it was made from.
#include <kuvra/internal/dicomdict.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace kuvra::internal;

namespace {

DictParity parity(DcmDictRangeRestriction r) {
    return r == DcmDictRange_Even  ? DictParity::even
           : r == DcmDictRange_Odd ? DictParity::odd
                                   : DictParity::all;
}

// The entry agrees with DCMTK's in every field the table keeps.
void expect_same(const DictEntry &d, const DcmDictEntry &e) {
    SCOPED_TRACE(std::string(d.keyword()));
    EXPECT_EQ(d.keyword(), e.getTagName());
    EXPECT_EQ(d.vr_name(), e.getVR().getVRName());
    EXPECT_EQ(d.group, e.getGroup());
    EXPECT_EQ(d.element, e.getElement());
    EXPECT_EQ(d.group_last, e.getUpperGroup());
    EXPECT_EQ(d.element_last, e.getUpperElement());
    EXPECT_EQ(d.vm_min, e.getVMMin());
    EXPECT_EQ(d.vm_max == 0 ? DcmVariableVM : d.vm_max, e.getVMMax());
    if (e.isRepeatingGroup()) {
        EXPECT_EQ(d.group_parity(), parity(e.getGroupRangeRestriction()));
    }
    if (e.isRepeatingElement()) {
        EXPECT_EQ(d.element_parity(), parity(e.getElementRangeRestriction()));
    }
}

// DCMTK's dictionary file, the one the table is made from when the build
// found it (else the table is the short list, checked entry by entry).
std::string dcmtk_dicom_dic() {
    std::string_view all = DCM_DICT_DEFAULT_PATH;
    return std::string(all.substr(0, all.find(ENVIRONMENT_PATH_SEPARATOR)));
}

TEST(DicomDictTable, AgreesWithDcmtk) {
    DcmDataDictionary dict(OFFalse, OFFalse);
    ASSERT_TRUE(dict.loadDictionary(dcmtk_dicom_dic().c_str())) << dcmtk_dicom_dic();

    size_t checked = 0;
    for (const DictEntry &d : dict_entries()) {
        const DcmDictEntry *e = d.is_range()
                                    ? dict.findEntry(std::string(d.keyword()).c_str())
                                    : dict.findEntry(DcmTagKey(d.group, d.element), nullptr);
        ASSERT_NE(e, nullptr) << d.keyword() << " is not in " << dcmtk_dicom_dic();
        expect_same(d, *e);
        ++checked;
    }
    if (dict_source() != dcmtk_dicom_dic()) {
        GTEST_SKIP() << "table made from " << dict_source() << ": " << checked
                     << " entries checked, not the whole dictionary";
    }

    // Everything DCMTK has is in the table, and a lookup by tag finds the
    // entry DCMTK finds (single tags before ranges, overlapping ranges).
    size_t dcmtk_count = 0;
    for (auto it = dict.normalBegin(); it != dict.normalEnd(); ++it, ++dcmtk_count) {
        const DcmDictEntry *e = *it;
        const DictEntry *d = dict_find_tag(e->getGroup(), e->getElement());
        ASSERT_NE(d, nullptr) << e->getTagName();
        EXPECT_EQ(d->keyword(), e->getTagName());
    }
    for (auto it = dict.repeatingBegin(); it != dict.repeatingEnd(); ++it, ++dcmtk_count) {
        const DcmDictEntry *e = *it;
        // First, last and an inner tag of the range, of the range's parity.
        auto fit = [](uint16_t v, DcmDictRangeRestriction r) {
            bool odd = v % 2;
            return uint16_t(
                (r == DcmDictRange_Even && odd) || (r == DcmDictRange_Odd && !odd) ? v - 1 : v);
        };
        const DcmDictRangeRestriction gr = e->getGroupRangeRestriction(),
                                      er = e->getElementRangeRestriction();
        const uint16_t gs[] = {e->getGroup(), fit(e->getUpperGroup(), gr),
                               fit(uint16_t((e->getGroup() + e->getUpperGroup()) / 2), gr)};
        const uint16_t es[] = {e->getElement(), fit(e->getUpperElement(), er)};
        for (uint16_t g : gs)
            for (uint16_t el : es) {
                const DcmDictEntry *want = dict.findEntry(DcmTagKey(g, el), nullptr);
                const DictEntry *got = dict_find_tag(g, el);
                ASSERT_NE(want, nullptr);
                ASSERT_NE(got, nullptr) << e->getTagName();
                EXPECT_EQ(got->keyword(), want->getTagName())
                    << std::hex << g << "," << el << " in " << e->getTagName();
            }
    }
    EXPECT_EQ(dcmtk_count, dict_entries().size());
    EXPECT_EQ(checked, dict_entries().size());
}

} // namespace

// Each kind of edit, at the start, inside and at the end of a key, up to the
// limit its length allows and one past it.
TEST(DicomDictTable, KeywordMeantByEditDistance) {
    const std::pair<const char *, const char *> cases[] = {
        {"patient name", "PatientName"},
        {"PATIENT-NAME", "PatientName"},
        {"PatienName", "PatientName"},
        {"XPatientName", "PatientName"},
        {"PatientNmae", "PatientName"},
        {"atientNam", nullptr},
        {"PixelSpacingXY", "PixelSpacing"},
        {"StudyDat", "StudyDate"},
        {"Modalty", "Modality"},
        {"Rowz", "Rows"},
        {"StudyDa", nullptr},
        {"PatNam", nullptr},
        {"PatientNmaeXY", nullptr},
        {"Xyzzyplugh", nullptr},
        {"Row", nullptr},
        {"PatientNam", "PatientName"},
    };
    for (const auto &[key, want] : cases) {
        SCOPED_TRACE(key);
        const DictEntry *d = dict_keyword_meant(key);
        if (!want) {
            EXPECT_EQ(d, nullptr) << d->keyword();
        } else {
            ASSERT_NE(d, nullptr);
            EXPECT_EQ(d->keyword(), want);
        }
    }
}
