#include "synth_dict.h"

#include <dcmtk/config/osconfig.h>
// osconfig.h first: it sets the feature macros the other DCMTK headers test.
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>

#include <kuvra/internal/dicomdict.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace kuvra::synth {

namespace {

using kuvra::internal::DictEntry;
using kuvra::internal::DictParity;

// deferred: DCMTK's dictionary started empty and takes table entries;
// whole: DCMTK loaded it (by itself, or full_dictionary did).
enum class Mode { whole, deferred };
Mode mode = Mode::whole;
// The dictionary files of a whole load: DCMTK's default list less the
// private dictionary, whose entries are keyed by their private creator and
// so never answer a lookup by tag alone, as every lookup here is.
std::string whole_path;
// Table entries already given to DCMTK, by index.
std::vector<bool> given;

DcmDictRangeRestriction restriction(DictParity p) {
    return p == DictParity::even  ? DcmDictRange_Even
           : p == DictParity::odd ? DcmDictRange_Odd
                                  : DcmDictRange_Unspecified;
}

// The entry as DCMTK's reading of the dictionary line makes it.
DcmDictEntry *dcmtk_entry(const DictEntry &d) {
    const std::string name(d.keyword());
    const std::string vr(d.vr_name());
    const int vmax = d.vm_max == 0 ? DcmVariableVM : d.vm_max;
    auto *e = new DcmDictEntry(d.group, d.element, d.group_last, d.element_last, DcmVR(vr.c_str()),
                               name.c_str(), d.vm_min, vmax, "DICOM", OFTrue, nullptr);
    e->setGroupRangeRestriction(restriction(d.group_parity()));
    e->setElementRangeRestriction(restriction(d.element_parity()));
    return e;
}

// Gives DCMTK the table's entry of the tag; false when the table has none.
bool give(DcmDataDictionary &dict, uint16_t g, uint16_t e) {
    const DictEntry *d = kuvra::internal::dict_find_tag(g, e);
    if (!d) return false;
    const size_t i = static_cast<size_t>(d - kuvra::internal::dict_entries().data());
    if (!given[i]) {
        dict.addEntry(dcmtk_entry(*d));
        given[i] = true;
    }
    return true;
}

// Tags the program and DCMTK look up without the input naming them.
bool give_own(DcmDataDictionary &dict) {
    // The file meta group, which DCMTK assembles.
    for (const DictEntry &d : kuvra::internal::dict_entries())
        if (d.group == 0x0002 && !d.is_range() && !give(dict, d.group, d.element)) return false;
    for (const DcmTagKey &k :
         {DCM_SpecificCharacterSet, DCM_SOPClassUID, DCM_SOPInstanceUID, DCM_StudyInstanceUID,
          DCM_SeriesInstanceUID, DCM_PatientID, DCM_Rows, DCM_Columns, DCM_BitsAllocated,
          DCM_SamplesPerPixel, DCM_NumberOfFrames, DCM_PixelData})
        if (!give(dict, k.getGroup(), k.getElement())) return false;
    return true;
}

bool not_loaded(ParseError &err) {
    err.line = 0;
    err.message = "the DICOM data dictionary is not loaded (DCMDICTPATH?)";
    return false;
}

} // namespace

void defer_dictionary() {
    if (getenv("DCMDICTPATH")) return;
    std::string_view all = DCM_DICT_DEFAULT_PATH;
    std::string kept;
    while (!all.empty()) {
        size_t sep = all.find(ENVIRONMENT_PATH_SEPARATOR);
        std::string_view one = all.substr(0, sep);
        all.remove_prefix(sep == std::string_view::npos ? all.size() : sep + 1);
        constexpr std::string_view private_dic = "private.dic";
        if (one.size() >= private_dic.size() &&
            one.substr(one.size() - private_dic.size()) == private_dic)
            continue;
        if (!kept.empty()) kept += ENVIRONMENT_PATH_SEPARATOR;
        kept += one;
    }
    if (kept.empty()) return;
    whole_path = kept;
    // An empty dictionary file: DCMTK then holds its built-in skeleton
    // (item tags, group lengths) and counts as loaded.
    setenv("DCMDICTPATH", "/dev/null", 1);
    given.assign(kuvra::internal::dict_entries().size(), false);
    mode = Mode::deferred;
}

bool full_dictionary(ParseError &err) {
    if (mode == Mode::deferred) {
        DcmDataDictionary &dict = dcmDataDict.wrlock();
        bool ok = true;
        std::string_view all = whole_path;
        while (!all.empty()) {
            size_t sep = all.find(ENVIRONMENT_PATH_SEPARATOR);
            const std::string one(all.substr(0, sep));
            all.remove_prefix(sep == std::string_view::npos ? all.size() : sep + 1);
            // Later lines replace earlier ones of the same tag, the entries
            // given from the table among them, which are the same.
            if (!dict.loadDictionary(one.c_str())) ok = false;
        }
        dcmDataDict.wrunlock();
        mode = Mode::whole;
        if (!ok) return not_loaded(err);
    }
    return dcmDataDict.isDictionaryLoaded() || not_loaded(err);
}

bool dictionary_for(std::span<const Element> elems, ParseError &err) {
    if (mode != Mode::deferred) return full_dictionary(err);
    DcmDataDictionary &dict = dcmDataDict.wrlock();
    bool known = give_own(dict);
    for (size_t i = 0; known && i < elems.size(); ++i)
        if (!is_item_marker(elems[i].kind)) known = give(dict, elems[i].group, elems[i].elem);
    dcmDataDict.wrunlock();
    return known || full_dictionary(err);
}

} // namespace kuvra::synth
