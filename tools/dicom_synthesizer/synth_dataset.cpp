#include "synth_dataset.h"

#include <dcmtk/config/osconfig.h>
// osconfig.h first: it sets the feature macros the other DCMTK headers test.
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmf.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvruv.h>

#include <kuvra/internal/uid.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unistd.h>

namespace kuvra::synth {

namespace {

// The dictionary's names for its VR choices ("ox", "xs", ...) read poorly.
std::string vr_label(const DcmVR &vr) {
    switch (vr.getEVR()) {
    case EVR_ox:
    case EVR_px:
        return "OB or OW";
    case EVR_xs:
        return "US or SS";
    case EVR_lt:
        return "US, SS or OW";
    default:
        return vr.getVRName();
    }
}

bool is_pixel_data(const Element &el) {
    return el.group == 0x7FE0 && el.elem == 0x0010;
}

} // namespace

std::string attr_name(uint16_t g, uint16_t e) {
    DcmTag t(g, e);
    std::string name = tag_text(g, e);
    const char *n = t.getTagName();
    if (n && strcmp(n, DcmTag_ERROR_TagName) != 0) name += std::string(" ") + n;
    return name;
}

struct DatasetBuilder::Context {
    DcmItem *item = nullptr;           // set for an item (the dataset at the bottom)
    DcmSequenceOfItems *seq = nullptr; // set for an open sequence
};

namespace {

// The defined terms of SpecificCharacterSet (PS3.3 C.12.1.1.2): single-byte
// sets without code extensions, the same with ISO 2022 extensions, and the
// multi-byte sets without them.
constexpr std::string_view kSingleByte[] = {"ISO_IR 100", "ISO_IR 101", "ISO_IR 109", "ISO_IR 110",
                                            "ISO_IR 144", "ISO_IR 127", "ISO_IR 126", "ISO_IR 138",
                                            "ISO_IR 148", "ISO_IR 203", "ISO_IR 13",  "ISO_IR 166"};
constexpr std::string_view kIso2022[] = {
    "ISO 2022 IR 6",   "ISO 2022 IR 100", "ISO 2022 IR 101", "ISO 2022 IR 109", "ISO 2022 IR 110",
    "ISO 2022 IR 144", "ISO 2022 IR 127", "ISO 2022 IR 126", "ISO 2022 IR 138", "ISO 2022 IR 148",
    "ISO 2022 IR 203", "ISO 2022 IR 13",  "ISO 2022 IR 166", "ISO 2022 IR 87",  "ISO 2022 IR 159",
    "ISO 2022 IR 149", "ISO 2022 IR 58"};
constexpr std::string_view kMultiByte[] = {"ISO_IR 192", "GB18030", "GBK"};

std::string byte_text(unsigned char c) {
    char b[8];
    snprintf(b, sizeof b, "0x%02X", c);
    return b;
}

template <size_t N> bool one_of(std::string_view term, const std::string_view (&set)[N]) {
    for (std::string_view t : set)
        if (t == term) return true;
    return false;
}

// A private attribute (gggg odd, eeee from 1000) belongs to the block of
// 256 that a private creator (gggg,00xx), xx = eeee >> 8, reserves in the
// same item; without one no reader can tell whose attribute it is.  Valid
// enough for every reader we know, so a warning, once a block.
void warn_of_private_blocks_without_creator(DcmItem &item) {
    std::set<uint32_t> told;
    for (unsigned long i = 0; i < item.card(); ++i) {
        DcmElement *e = item.getElement(i);
        if (!e) continue;
        if (e->ident() == EVR_SQ) {
            auto *seq = static_cast<DcmSequenceOfItems *>(e);
            for (unsigned long j = 0; j < seq->card(); ++j)
                if (DcmItem *in = seq->getItem(j)) warn_of_private_blocks_without_creator(*in);
            continue;
        }
        const uint16_t g = e->getGTag(), el = e->getETag(), block = el >> 8;
        if (!(g & 1) || el < 0x1000 || item.tagExists(DcmTagKey(g, block)) ||
            !told.insert(uint32_t(g) << 16 | block).second)
            continue;
        char creator[16];
        snprintf(creator, sizeof creator, "(%04X,%04X)", g, block);
        fprintf(stderr,
                "kuvra_dicom_synthesizer: warning: %s is a private attribute, but no private "
                "creator %s reserves its block, so readers cannot tell whose it is "
                "(kuvra_ppmtodicom -k '%s=ORGANISATION')\n",
                attr_name(g, el).c_str(), creator, creator);
    }
}

} // namespace

bool DatasetBuilder::choose_charset(const std::vector<Element> &elems, DcmDataset *ds) {
    bool non_ascii = false;
    const Element *given = nullptr;
    int depth = 0;
    for (const auto &el : elems) {
        depth += nesting_step(el.kind);
        if (el.kind == ValueKind::Text) {
            if (has_non_ascii(el.text)) non_ascii = true;
            if (depth == 0 && el.group == 0x0008 && el.elem == 0x0005) given = &el;
        }
    }
    charset_known_ = given || non_ascii;
    if (given) {
        std::string_view cs = given->text;
        while (!cs.empty() && cs.back() == ' ')
            cs.remove_suffix(1);
        utf8_ = cs == "ISO_IR 192";
        charset_text_ = std::string(cs);
        // Each value of the set must be a defined term; the first may be
        // empty (the default repertoire, with code extensions after it).
        bool extensions = false, single = false, multi = false;
        size_t n = 0;
        for (std::string_view rest = cs;; ++n) {
            size_t sep = rest.find('\\');
            std::string_view term = rest.substr(0, sep);
            while (!term.empty() && term.back() == ' ')
                term.remove_suffix(1);
            if (term.empty() && n == 0) {
            } else if (term == "ISO_IR 6" && n == 0) {
            } else if (one_of(term, kSingleByte) && n == 0) {
                single = true;
            } else if (one_of(term, kMultiByte) && n == 0) {
                multi = true;
            } else if (one_of(term, kIso2022)) {
                extensions = true;
            } else {
                return fail(given->line, "(0008,0005) SpecificCharacterSet: " +
                                             std::string(term.empty() ? "an empty term" : term) +
                                             " is no defined term (ISO_IR 192 for UTF-8, "
                                             "ISO_IR 100 for Latin-1, ...)");
            }
            if (sep == std::string_view::npos) break;
            rest.remove_prefix(sep + 1);
        }
        if ((single || multi) && n > 0)
            return fail(given->line, "(0008,0005) SpecificCharacterSet: " + std::string(cs) +
                                         " mixes a set without code "
                                         "extensions with others");
        // Code extensions are not checked byte by byte here: only their
        // ASCII subset is taken.
        bytes_ = utf8_    ? Bytes::utf8
                 : multi  ? Bytes::any
                 : single ? Bytes::any_but_c1
                          : Bytes::ascii;
        (void)extensions;
    } else if (non_ascii) {
        ds->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
        utf8_ = true;
        bytes_ = Bytes::utf8;
    }
    return true;
}

bool DatasetBuilder::load(std::vector<Element> &elems, size_t from, size_t to, DcmItem *root) {
    std::vector<Context> stack{{root, nullptr}};
    for (size_t i = from; i < to; ++i)
        if (!add(elems[i], stack)) return false;
    if (stack.size() > 1) return fail(0, "input ends inside a sequence or item");
    return true;
}

// Checks of the tag alone: what the input may not give, and the VR the
// dictionary knows for it.
bool DatasetBuilder::check_tag(const Element &el, const std::string &name) {
    if (el.group == 0x0002)
        return fail(el.line, name + ": file meta elements are generated, not given");
    if (el.elem == 0x0000) return fail(el.line, name + ": group lengths are not written");
    DcmTag dict_tag(el.group, el.elem);
    DcmVR dvr = dict_tag.getVR();
    if (dvr.getEVR() != EVR_UNKNOWN && dvr.getEVR() != EVR_UN && !dvr.isEquivalent(DcmVR(el.vr)))
        return fail(el.line, name + " has VR " + vr_label(dvr) + ", not " + el.vr);
    return true;
}

bool DatasetBuilder::check_binary_length(const Element &el, const std::string &name) {
    if (el.length % bytes_per_value(el.vr))
        return fail(el.line, name + ": " + std::to_string(el.length) +
                                 " bytes are not a whole number of " + std::string(el.vr) +
                                 " values");
    return true;
}

void DatasetBuilder::note_pixel_data(const Element &el) {
    pixel_length_ = el.length;
    have_pixels_ = true;
    pixel_words_ = el.big_endian_words;
    pixel_word_or_ = el.word_or;
}

bool DatasetBuilder::check_header_only(const Element &el, DcmItem *ds) {
    const std::string name = attr_name(el.group, el.elem);
    if (!check_tag(el, name)) return false;
    if (ds->tagExists(DcmTagKey(el.group, el.elem))) return fail(el.line, name + " given twice");
    if (!check_binary_length(el, name)) return false;
    if (is_pixel_data(el)) note_pixel_data(el);
    return true;
}

bool DatasetBuilder::add(Element &el, std::vector<Context> &stack) {
    Context &top = stack.back();
    switch (el.kind) {
    case ValueKind::ItemStart: {
        if (!top.seq)
            return fail(el.line,
                        "item start " + tag_text(el.group, el.elem) + " outside a sequence");
        auto *item = new DcmItem();
        top.seq->append(item);
        stack.push_back({item, nullptr});
        return true;
    }
    case ValueKind::ItemEnd:
        if (!top.item || stack.size() == 1)
            return fail(el.line,
                        "item end " + tag_text(el.group, el.elem) + " without an open item");
        stack.pop_back();
        return true;
    case ValueKind::SequenceEnd:
        if (!top.seq)
            return fail(el.line, "sequence end " + tag_text(el.group, el.elem) +
                                     " without an open sequence");
        stack.pop_back();
        return true;
    default:
        break;
    }
    const std::string name = attr_name(el.group, el.elem);
    if (!top.item) return fail(el.line, name + ": element inside a sequence but outside an item");
    if (!check_tag(el, name)) return false;
    DcmTag dict_tag(el.group, el.elem);
    DcmVR vr(el.vr);
    DcmTag tagv(el.group, el.elem, vr);
    if (top.item->tagExists(tagv)) return fail(el.line, name + " given twice");
    if (el.kind == ValueKind::SequenceStart) {
        auto *seq = new DcmSequenceOfItems(tagv);
        top.item->insert(seq);
        stack.push_back({nullptr, seq});
        return true;
    }
    DcmElement *elem = nullptr;
    if (DcmItem::newDicomElementWithVR(elem, tagv).bad() || !elem)
        return fail(el.line, name + ": cannot create an element of VR " + el.vr);
    // Inserted before its value is checked: the check reads the character
    // set from the enclosing dataset.
    if (top.item->insert(elem).bad()) {
        delete elem;
        return fail(el.line, name + ": cannot insert the element");
    }
    // DCMTK picks OW for pixel data of its own accord; the VR given wins.
    if (el.kind == ValueKind::Binary && (vr.getEVR() == EVR_OB || vr.getEVR() == EVR_OW))
        elem->setVR(vr.getEVR());
    bool ok = el.kind == ValueKind::Text ? put_text(el, *elem, name, dict_tag)
                                         : put_binary(el, *elem, name);
    if (!ok) return false;
    if (stack.size() == 1 && is_pixel_data(el)) note_pixel_data(el);
    return true;
}

bool DatasetBuilder::put_text(Element &el, DcmElement &elem, const std::string &name,
                              DcmTag &dict_tag) {
    std::string_view v = el.text;
    auto refuse = [&](const std::string &why) {
        return fail(el.line, name + ": value " + shown(v) + " " + why);
    };
    if (std::string why; !check_text_value(el.vr, v, utf8_, why)) return refuse(why);
    // Bytes the declared set has no character for: a reader would show
    // something other than what the input meant.
    if (bytes_ == Bytes::ascii || bytes_ == Bytes::any_but_c1) {
        for (unsigned char c : v)
            if (c == 0x1B || (c >= 0x80 && (bytes_ == Bytes::ascii || c < 0xA0)))
                return refuse("holds the byte " + byte_text(c) + ", which SpecificCharacterSet \"" +
                              charset_text_ + "\" does not define (ISO_IR 192 takes UTF-8)");
    }
    if (elem.putString(el.text.c_str(), static_cast<Uint32>(el.text.size())).bad())
        return refuse(std::string("is not a valid ") + el.vr + " value: " + vr_form(el.vr));
    if (v.empty()) return true;
    OFCondition c = elem.checkValue("1-n");
    if (c.bad())
        return refuse(std::string("does not conform to VR ") + el.vr + " (" + c.text() +
                      "): " + vr_form(el.vr));
    const DcmDataDictionary &dict = dcmDataDict.rdlock();
    const DcmDictEntry *de = dict.findEntry(dict_tag, nullptr);
    int vmin = de ? de->getVMMin() : 1, vmax = de ? de->getVMMax() : DcmVariableVM;
    dcmDataDict.rdunlock();
    unsigned long vm = elem.getVM();
    if (de && (vm < static_cast<unsigned long>(vmin) ||
               (vmax != DcmVariableVM && vm > static_cast<unsigned long>(vmax))))
        return refuse("has " + std::to_string(vm) + " values; the attribute takes " +
                      (vmin == vmax ? std::to_string(vmin)
                       : vmax == DcmVariableVM
                           ? std::to_string(vmin) + " or more"
                           : std::to_string(vmin) + " to " + std::to_string(vmax)));
    return true;
}

bool DatasetBuilder::put_binary(Element &el, DcmElement &elem, const std::string &name) {
    if (!check_binary_length(el, name)) return false;
    if (el.spool.get() >= 0) {
        // Padding goes into the spool file: DCMTK writes a value taken from
        // a file as it stands, and a DICOM value length is always even.
        uint32_t len = el.length;
        if (len % 2) {
            char zero = 0;
            if (pwrite(el.spool.get(), &zero, 1, len) != 1)
                return fail(el.line, name + ": cannot pad the spooled value: " + strerror(errno));
            ++len;
        }
        std::string path = "/proc/self/fd/" + std::to_string(el.spool.get());
        DcmInputFileStreamFactory factory(path.c_str(), 0);
        if (elem.createValueFromTempFile(factory.clone(), len, EBO_LittleEndian).bad())
            return fail(el.line, name + ": cannot take the value from its spool file");
        return true;
    }
    const auto *p = reinterpret_cast<const Uint8 *>(el.bytes.data());
    std::string_view vr = el.vr;
    const uint32_t unit = bytes_per_value(vr);
    OFCondition c;
    if (unit == 1)
        c = elem.putUint8Array(p, el.length);
    else if (unit == 2)
        c = elem.putUint16Array(reinterpret_cast<const Uint16 *>(p), el.length / 2);
    else if (vr == "OF")
        c = elem.putFloat32Array(reinterpret_cast<const Float32 *>(p), el.length / 4);
    else if (vr == "OL")
        c = elem.putUint32Array(reinterpret_cast<const Uint32 *>(p), el.length / 4);
    else if (vr == "OD")
        c = elem.putFloat64Array(reinterpret_cast<const Float64 *>(p), el.length / 8);
    else if (auto *ov = dynamic_cast<DcmUnsigned64bitVeryLong *>(&elem))
        c = ov->putUint64Array(reinterpret_cast<const Uint64 *>(p), el.length / 8);
    else
        c = EC_IllegalCall;
    if (c.bad()) return fail(el.line, name + ": cannot store the value (" + c.text() + ")");
    return true;
}

bool DatasetBuilder::complete(DcmDataset *ds) {
    for (const DcmTagKey &k : {DCM_StudyInstanceUID, DCM_SeriesInstanceUID, DCM_SOPInstanceUID}) {
        OFString v;
        if (ds->findAndGetOFString(k, v).bad() || v.empty())
            ds->putAndInsertString(k, kuvra::internal::make_uuid_uid().c_str());
    }
    OFString sop_class;
    if (ds->findAndGetOFString(DCM_SOPClassUID, sop_class).bad() || sop_class.empty())
        return fail(0, "input gives no (0008,0016) SOPClassUID");
    // An image without its pixels or their shape is no image any viewer can
    // show: a template stopped short, or an element list cut before them.
    if (dcmIsImageStorageSOPClassUID(sop_class.c_str())) {
        for (const DcmTagKey &k : {DCM_Rows, DCM_Columns, DCM_BitsAllocated})
            if (!ds->tagExists(k))
                return fail(0, "input gives an image (SOPClassUID " +
                                   std::string(sop_class.c_str()) + ") without " +
                                   attr_name(k.getGroup(), k.getElement()));
        if (!have_pixels_)
            return fail(0, "input gives an image (SOPClassUID " + std::string(sop_class.c_str()) +
                               ") without (7FE0,0010) PixelData");
    }
    if (have_pixels_ && !check_pixel_length(ds)) return false;
    // 16-bit samples from a PGM whose MAXVAL they exceed: BitsStored is
    // made from MAXVAL, and viewers mask or keep the bits above it, each
    // their own way, so the image would read differently in each.
    Uint16 stored = 16;
    if (pixel_words_ && ds->findAndGetUint16(DCM_BitsStored, stored).good() && stored < 16 &&
        (pixel_word_or_ >> stored) != 0)
        return fail(0, "(7FE0,0010) PixelData holds samples above the " + std::to_string(stored) +
                           " bits of (0028,0101) BitsStored (largest allowed " +
                           std::to_string((1u << stored) - 1) +
                           "): the image has samples above its MAXVAL");
    warn_of_private_blocks_without_creator(*ds);
    // Not an error (the file is valid), but a PACS files every image without
    // a PatientID under one patient: unrelated exports merge.
    OFString patient_id;
    if (ds->findAndGetOFString(DCM_PatientID, patient_id).bad() || patient_id.empty())
        fputs("kuvra_dicom_synthesizer: warning: (0010,0020) PatientID is empty: a PACS files all "
              "such images under one patient (kuvra_ppmtodicom -k PatientID=...)\n",
              stderr);
    return true;
}

// Rows x Columns x frames x samples x bytes per sample must be what the
// pixel data hold: a short image would be read past its end by viewers.
bool DatasetBuilder::check_pixel_length(DcmDataset *ds) {
    Uint16 rows = 0, cols = 0, alloc = 0, spp = 1;
    if (ds->findAndGetUint16(DCM_Rows, rows).bad() ||
        ds->findAndGetUint16(DCM_Columns, cols).bad() ||
        ds->findAndGetUint16(DCM_BitsAllocated, alloc).bad())
        return true;
    ds->findAndGetUint16(DCM_SamplesPerPixel, spp);
    Sint32 frames = 1;
    if (ds->tagExists(DCM_NumberOfFrames) && ds->findAndGetSint32(DCM_NumberOfFrames, frames).bad())
        frames = 1;
    if (frames < 1) return fail(0, "(0028,0008) NumberOfFrames must be at least 1");
    uint64_t bits = uint64_t(rows) * cols * uint64_t(frames) * spp * alloc;
    uint64_t need = (bits + 7) / 8;
    if (need != pixel_length_)
        return fail(0, "(7FE0,0010) PixelData holds " + std::to_string(pixel_length_) +
                           " bytes, but Rows " + std::to_string(rows) + " x Columns " +
                           std::to_string(cols) + " x frames " + std::to_string(frames) +
                           " x SamplesPerPixel " + std::to_string(spp) + " x BitsAllocated " +
                           std::to_string(alloc) + " need " + std::to_string(need));
    return true;
}

} // namespace kuvra::synth
