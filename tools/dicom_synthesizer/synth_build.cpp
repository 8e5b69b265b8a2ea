#include "synth_build.h"

#include <dcmtk/config/osconfig.h>
// osconfig.h first: it sets the feature macros the other DCMTK headers test.
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmf.h>
#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcvruv.h>
#include <dcmtk/dcmdata/dcwcache.h>

#include <kuvra/internal/io.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/random.h>
#include <unistd.h>

namespace kuvra::synth {

namespace {

// Largest number of characters per value, by VR (0: no limit of its own).
// LT, ST, UT and UR hold one value in which a backslash is an ordinary byte.
struct TextRule {
    const char *vr;
    size_t max_chars;
    bool multi; // backslash separates values
};
constexpr std::array<TextRule, 17> text_rules{{
    {"AE", 16, true},
    {"AS", 4, true},
    {"CS", 16, true},
    {"DA", 8, true},
    {"DS", 16, true},
    {"DT", 26, true},
    {"IS", 12, true},
    {"LO", 64, true},
    {"LT", 10240, false},
    {"PN", 64, true},
    {"SH", 16, true},
    {"ST", 1024, false},
    {"TM", 14, true},
    {"UC", 0, true},
    {"UI", 64, true},
    {"UR", 0, false},
    {"UT", 0, false},
}};

const TextRule *find_text_rule(std::string_view vr) {
    for (const auto &r : text_rules)
        if (vr == r.vr) return &r;
    return nullptr;
}

// Binary numbers given as text: size of one value and its range.
struct NumberRule {
    const char *vr;
    bool is_float;
    bool is_signed;
    int bits;
};
constexpr std::array<NumberRule, 8> number_rules{{
    {"US", false, false, 16},
    {"SS", false, true, 16},
    {"UL", false, false, 32},
    {"SL", false, true, 32},
    {"UV", false, false, 64},
    {"SV", false, true, 64},
    {"FL", true, true, 32},
    {"FD", true, true, 64},
}};

const NumberRule *find_number_rule(std::string_view vr) {
    for (const auto &r : number_rules)
        if (vr == r.vr) return &r;
    return nullptr;
}

template <typename F> void for_each_value(std::string_view v, F &&f) {
    for (;;) {
        size_t bs = v.find('\\');
        f(v.substr(0, bs));
        if (bs == std::string_view::npos) break;
        v.remove_prefix(bs + 1);
    }
}

bool number_ok(std::string_view s, const NumberRule &r) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    if (s.empty() || s.size() > 64) return false;
    std::string t(s);
    char *end = nullptr;
    errno = 0;
    if (r.is_float) {
        double d = strtod(t.c_str(), &end);
        if (*end || errno == ERANGE || !std::isfinite(d)) return false;
        return r.bits == 64 || std::fabs(d) <= 3.4028234663852886e38;
    }
    if (t.find_first_not_of(r.is_signed ? "+-0123456789" : "+0123456789") != std::string::npos)
        return false;
    if (r.is_signed) {
        long long v = strtoll(t.c_str(), &end, 10);
        if (*end || errno == ERANGE) return false;
        if (r.bits == 64) return true;
        long long lim = 1LL << (r.bits - 1);
        return v >= -lim && v < lim;
    }
    if (t[0] == '-') return false;
    unsigned long long v = strtoull(t.c_str(), &end, 10);
    if (*end || errno == ERANGE) return false;
    return r.bits == 64 || v < (1ULL << r.bits);
}

std::string tag_text(uint16_t g, uint16_t e) {
    char b[16];
    snprintf(b, sizeof b, "(%04X,%04X)", g, e);
    return b;
}

// "(0010,0010) PatientName" for messages.
std::string attr_name(uint16_t g, uint16_t e) {
    DcmTag t(g, e);
    std::string name = tag_text(g, e);
    const char *n = t.getTagName();
    if (n && strcmp(n, DcmTag_ERROR_TagName) != 0) name += std::string(" ") + n;
    return name;
}

// Quoted value for messages: bytes outside printable ASCII shown as \xNN,
// long values cut, so that a message stays one readable line.
std::string shown(std::string_view v) {
    std::string s = "\"";
    size_t n = 0;
    for (unsigned char c : v) {
        if (++n > 200) {
            s += "...";
            break;
        }
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            s += static_cast<char>(c);
        } else if (c == '\\' || c == '"') {
            s += '\\';
            s += static_cast<char>(c);
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02X", c);
            s += b;
        }
    }
    return s + "\"";
}

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

bool has_non_ascii(std::string_view v) {
    for (unsigned char c : v)
        if (c >= 0x80) return true;
    return false;
}

// A DcmConsumer on a descriptor: DCMTK's own file consumer wants a FILE or a
// path; this one writes straight to the descriptor (stdout may be a pipe).
class FdConsumer final : public DcmConsumer {
  public:
    explicit FdConsumer(int fd) : fd_(fd) {}
    OFBool good() const override { return status_.good(); }
    OFCondition status() const override { return status_; }
    OFBool isFlushed() const override { return OFTrue; }
    offile_off_t avail() const override { return 1 << 20; }
    offile_off_t write(const void *buf, offile_off_t buflen) override {
        if (!status_.good() || buflen <= 0) return 0;
        size_t n = static_cast<size_t>(buflen);
        size_t done = kuvra::internal::write_fully(fd_, buf, n);
        if (done < n) {
            errno_ = errno;
            status_ = EC_InvalidStream;
        }
        return static_cast<offile_off_t>(done);
    }
    void flush() override {}
    int error_number() const { return errno_; }

  private:
    int fd_;
    int errno_ = 0;
    OFCondition status_ = EC_Normal;
};

// The consumer must exist before the stream's base is built from it.
struct FdConsumerHolder {
    explicit FdConsumerHolder(int fd) : consumer(fd) {}
    FdConsumer consumer;
};
class FdOutputStream final : private FdConsumerHolder, public DcmOutputStream {
  public:
    explicit FdOutputStream(int fd) : FdConsumerHolder(fd), DcmOutputStream(&consumer) {}
    using FdConsumerHolder::consumer;
};

struct Context {
    DcmItem *item = nullptr;           // set for an item (the dataset at the bottom)
    DcmSequenceOfItems *seq = nullptr; // set for an open sequence
};

class Builder {
  public:
    explicit Builder(ParseError &err) : err_(err) {}

    // Everything in one go: all values are known before the first byte out.
    bool run(std::vector<Element> &elems, int out_fd) {
        if (elems.empty()) return fail(0, "input holds no elements");
        DcmDataset *ds = ff_.getDataset();
        choose_charset(elems, ds);
        if (!load(elems, 0, elems.size(), ds)) return false;
        if (!complete(ds)) return false;
        return write(out_fd);
    }

    // Streaming: the elements before the large value `big` are checked and
    // written, up to and including the header of `big`, whose bytes the
    // caller then copies.  Returns the descriptor to copy them to, -1 when
    // the value cannot be streamed (it lies inside a sequence), -2 on failure.
    int begin(std::vector<Element> &so_far, const Element &big, int out_fd) {
        int depth = 0;
        for (const auto &el : so_far)
            depth += el.kind == ValueKind::SequenceStart || el.kind == ValueKind::ItemStart ? 1
                     : el.kind == ValueKind::SequenceEnd || el.kind == ValueKind::ItemEnd   ? -1
                                                                                            : 0;
        if (depth != 0) return -1;
        DcmDataset *ds = ff_.getDataset();
        choose_charset(so_far, ds);
        if (!load(so_far, 0, so_far.size(), ds)) return -2;
        const std::string name = attr_name(big.group, big.elem);
        DcmTag tagv(big.group, big.elem, DcmVR(big.vr));
        if (!check_tag(big, name)) return -2;
        if (ds->tagExists(tagv)) return fail(big.line, name + " given twice"), -2;
        if (!check_binary_length(big, name)) return -2;
        if (big.group == 0x7FE0 && big.elem == 0x0010)
            pixel_length_ = big.length, have_pixels_ = true;
        if (!complete(ds)) return -2;
        // Elements that sort after the streamed value are written after it.
        for (DcmObject *o = ds->nextInContainer(nullptr); o; o = ds->nextInContainer(o))
            if (o->getTag() > tagv) {
                tail_.insert(static_cast<DcmElement *>(ds->remove(o)));
                o = nullptr; // restart: the container changed
            }
        if (!write(out_fd)) return -2;
        big_.group = big.group;
        big_.elem = big.elem;
        memcpy(big_.vr, big.vr, sizeof big_.vr);
        big_.length = big.length;
        // Explicit VR little endian, long form: tag, VR, two zero bytes, length.
        uint32_t len = big.length + (big.length % 2);
        unsigned char h[12] = {static_cast<unsigned char>(big.group & 0xFF),
                               static_cast<unsigned char>(big.group >> 8),
                               static_cast<unsigned char>(big.elem & 0xFF),
                               static_cast<unsigned char>(big.elem >> 8),
                               static_cast<unsigned char>(big.vr[0]),
                               static_cast<unsigned char>(big.vr[1]),
                               0,
                               0,
                               static_cast<unsigned char>(len & 0xFF),
                               static_cast<unsigned char>((len >> 8) & 0xFF),
                               static_cast<unsigned char>((len >> 16) & 0xFF),
                               static_cast<unsigned char>(len >> 24)};
        if (!write_bytes(out_fd, h, sizeof h)) return -2;
        // The value's blocks reserved in one call, beyond the end of the
        // file (the size grows only as bytes arrive): ext4 otherwise
        // reserves them page by page, a fifth of the copy's time.  A cut
        // back after a failure frees them.  Only a hint; errors are ignored.
        if (off_t at = lseek(out_fd, 0, SEEK_CUR); at >= 0 && len > 0)
            (void)fallocate(out_fd, FALLOC_FL_KEEP_SIZE, at, off_t(len));
        started_ = true;
        return out_fd;
    }

    // After the streamed value: its pad byte, then the elements read after
    // it, which must all sort after it.
    bool finish(std::vector<Element> &elems, int out_fd) {
        size_t at = 0;
        while (at < elems.size() && !elems[at].streamed)
            ++at;
        if (big_.length % 2 && !write_bytes(out_fd, "", 1)) return false;
        DcmTagKey key(big_.group, big_.elem);
        int depth = 0;
        for (size_t i = at + 1; i < elems.size(); ++i) {
            const Element &el = elems[i];
            if (depth == 0 && el.kind != ValueKind::ItemStart && el.kind != ValueKind::ItemEnd &&
                el.kind != ValueKind::SequenceEnd && !(DcmTagKey(el.group, el.elem) > key))
                return fail(el.line, attr_name(el.group, el.elem) + " follows " +
                                         attr_name(big_.group, big_.elem) +
                                         " in the input but sorts before it");
            if (el.kind == ValueKind::Text && has_non_ascii(el.text) && !charset_known_)
                return fail(el.line, attr_name(el.group, el.elem) +
                                         ": a non-ASCII value after the streamed value comes "
                                         "too late to set the character set");
            depth += el.kind == ValueKind::SequenceStart || el.kind == ValueKind::ItemStart ? 1
                     : el.kind == ValueKind::SequenceEnd || el.kind == ValueKind::ItemEnd   ? -1
                                                                                            : 0;
        }
        if (!load(elems, at + 1, elems.size(), &tail_)) return false;
        FdOutputStream out(out_fd);
        DcmWriteCache wcache;
        tail_.transferInit();
        OFCondition c =
            tail_.write(out, EXS_LittleEndianExplicit, EET_ExplicitLength, &wcache, EGL_withoutGL);
        tail_.transferEnd();
        out.flush();
        if (out.consumer.error_number())
            return fail(0, std::string("cannot write the output: ") +
                               strerror(out.consumer.error_number()));
        if (c.bad()) return fail(0, std::string("cannot write the DICOM file: ") + c.text());
        return true;
    }

    bool started() const { return started_; }

  private:
    bool fail(int64_t line, std::string msg) {
        err_.line = line;
        err_.message = std::move(msg);
        return false;
    }

    // The character set is fixed before any value is checked: what a byte
    // means depends on it.  A set given by the input is kept; otherwise a
    // non-ASCII byte in any value makes the file UTF-8.
    void choose_charset(const std::vector<Element> &elems, DcmDataset *ds) {
        bool non_ascii = false;
        const Element *given = nullptr;
        int depth = 0;
        for (const auto &el : elems) {
            if (el.kind == ValueKind::SequenceStart || el.kind == ValueKind::ItemStart)
                ++depth;
            else if (el.kind == ValueKind::SequenceEnd || el.kind == ValueKind::ItemEnd)
                --depth;
            else if (el.kind == ValueKind::Text) {
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
        } else if (non_ascii) {
            ds->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
            utf8_ = true;
        }
    }

    // Adds elems[from, to) to root; sequences and items must close in the range.
    bool load(std::vector<Element> &elems, size_t from, size_t to, DcmItem *root) {
        std::vector<Context> stack{{root, nullptr}};
        for (size_t i = from; i < to; ++i)
            if (!add(elems[i], stack)) return false;
        if (stack.size() > 1) return fail(0, "input ends inside a sequence or item");
        return true;
    }

    // Checks of the tag alone: what the input may not give, and the VR the
    // dictionary knows for it.
    bool check_tag(const Element &el, const std::string &name) {
        if (el.group == 0x0002)
            return fail(el.line, name + ": file meta elements are generated, not given");
        if (el.elem == 0x0000) return fail(el.line, name + ": group lengths are not written");
        DcmTag dict_tag(el.group, el.elem);
        DcmVR dvr = dict_tag.getVR();
        if (dvr.getEVR() != EVR_UNKNOWN && dvr.getEVR() != EVR_UN &&
            !dvr.isEquivalent(DcmVR(el.vr)))
            return fail(el.line, name + " has VR " + vr_label(dvr) + ", not " + el.vr);
        return true;
    }

    bool check_binary_length(const Element &el, const std::string &name) {
        std::string_view vr = el.vr;
        uint32_t unit = vr == "OW"                 ? 2
                        : vr == "OF" || vr == "OL" ? 4
                        : vr == "OD" || vr == "OV" ? 8
                                                   : 1;
        if (el.length % unit)
            return fail(el.line, name + ": " + std::to_string(el.length) +
                                     " bytes are not a whole number of " + std::string(vr) +
                                     " values");
        return true;
    }

    static bool write_bytes(int fd, const void *data, size_t n) {
        return kuvra::internal::write_fully(fd, data, n) == n;
    }

    bool add(Element &el, std::vector<Context> &stack) {
        Context &top = stack.back();
        const std::string tag = tag_text(el.group, el.elem);
        switch (el.kind) {
        case ValueKind::ItemStart: {
            if (!top.seq) return fail(el.line, "item start " + tag + " outside a sequence");
            auto *item = new DcmItem();
            top.seq->append(item);
            stack.push_back({item, nullptr});
            return true;
        }
        case ValueKind::ItemEnd:
            if (!top.item || stack.size() == 1)
                return fail(el.line, "item end " + tag + " without an open item");
            stack.pop_back();
            return true;
        case ValueKind::SequenceEnd:
            if (!top.seq) return fail(el.line, "sequence end " + tag + " without an open sequence");
            stack.pop_back();
            return true;
        default:
            break;
        }
        if (!top.item)
            return fail(el.line, attr_name(el.group, el.elem) +
                                     ": element inside a sequence but outside an item");
        const std::string name = attr_name(el.group, el.elem);
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
        if (DcmItem::newDicomElement(elem, tagv).bad() || !elem)
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
        if (stack.size() == 1 && el.group == 0x7FE0 && el.elem == 0x0010)
            pixel_length_ = el.length, have_pixels_ = true;
        return true;
    }

    bool put_text(Element &el, DcmElement &elem, const std::string &name, DcmTag &dict_tag) {
        std::string_view v = el.text;
        auto refuse = [&](const std::string &why) {
            return fail(el.line, name + ": value " + shown(v) + " " + why);
        };
        if (has_non_ascii(v) && utf8_ && !is_valid_utf8(v))
            return refuse("is not valid UTF-8 (SpecificCharacterSet ISO_IR 192)");
        if (const NumberRule *nr = find_number_rule(el.vr); nr && !v.empty()) {
            bool bad = false;
            for_each_value(v, [&](std::string_view one) { bad |= !number_ok(one, *nr); });
            if (bad) return refuse(std::string("is not a valid ") + el.vr + " number list");
        }
        if (const TextRule *tr = find_text_rule(el.vr); tr && tr->max_chars) {
            bool too_long = false;
            auto check = [&](std::string_view one) {
                if (std::string_view(el.vr) == "PN") {
                    // The limit holds per component group (alphabetic, ideographic, phonetic).
                    for (;;) {
                        size_t eq = one.find('=');
                        too_long |= value_chars(one.substr(0, eq), utf8_) > tr->max_chars;
                        if (eq == std::string_view::npos) break;
                        one.remove_prefix(eq + 1);
                    }
                } else {
                    too_long |= value_chars(one, utf8_) > tr->max_chars;
                }
            };
            if (tr->multi)
                for_each_value(v, check);
            else
                check(v);
            if (too_long)
                return refuse("is longer than the " + std::to_string(tr->max_chars) +
                              " characters that " + el.vr + " allows");
        }
        if (elem.putString(el.text.c_str(), static_cast<Uint32>(el.text.size())).bad())
            return refuse(std::string("is not a valid ") + el.vr + " value");
        if (v.empty()) return true;
        OFCondition c = elem.checkValue("1-n");
        if (c.bad())
            return refuse(std::string("does not conform to VR ") + el.vr + " (" + c.text() + ")");
        const DcmDictEntry *de = nullptr;
        {
            const DcmDataDictionary &dict = dcmDataDict.rdlock();
            de = dict.findEntry(dict_tag, nullptr);
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
        }
        return true;
    }

    bool put_binary(Element &el, DcmElement &elem, const std::string &name) {
        std::string_view vr = el.vr;
        uint32_t unit = vr == "OW"                 ? 2
                        : vr == "OF" || vr == "OL" ? 4
                        : vr == "OD" || vr == "OV" ? 8
                                                   : 1;
        if (!check_binary_length(el, name)) return false;
        if (el.spool.get() >= 0) {
            // Padding goes into the spool file: DCMTK writes a value taken from
            // a file as it stands, and a DICOM value length is always even.
            uint32_t len = el.length;
            if (len % 2) {
                char zero = 0;
                if (pwrite(el.spool.get(), &zero, 1, len) != 1)
                    return fail(el.line,
                                name + ": cannot pad the spooled value: " + strerror(errno));
                ++len;
            }
            std::string path = "/proc/self/fd/" + std::to_string(el.spool.get());
            DcmInputFileStreamFactory factory(path.c_str(), 0);
            if (elem.createValueFromTempFile(factory.clone(), len, EBO_LittleEndian).bad())
                return fail(el.line, name + ": cannot take the value from its spool file");
            return true;
        }
        const auto *p = reinterpret_cast<const Uint8 *>(el.bytes.data());
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

    // Generated parts and the checks that need the whole dataset.
    bool complete(DcmDataset *ds) {
        for (const DcmTagKey &k :
             {DCM_StudyInstanceUID, DCM_SeriesInstanceUID, DCM_SOPInstanceUID}) {
            OFString v;
            if (ds->findAndGetOFString(k, v).bad() || v.empty())
                ds->putAndInsertString(k, make_uuid_uid().c_str());
        }
        OFString sop_class;
        if (ds->findAndGetOFString(DCM_SOPClassUID, sop_class).bad() || sop_class.empty())
            return fail(0, "input gives no (0008,0016) SOPClassUID");
        if (have_pixels_) return check_pixel_length(ds);
        return true;
    }

    // Rows x Columns x frames x samples x bytes per sample must be what the
    // pixel data hold: a short image would be read past its end by viewers.
    bool check_pixel_length(DcmDataset *ds) {
        Uint16 rows = 0, cols = 0, alloc = 0, spp = 1;
        if (ds->findAndGetUint16(DCM_Rows, rows).bad() ||
            ds->findAndGetUint16(DCM_Columns, cols).bad() ||
            ds->findAndGetUint16(DCM_BitsAllocated, alloc).bad())
            return true;
        ds->findAndGetUint16(DCM_SamplesPerPixel, spp);
        Sint32 frames = 1;
        if (ds->tagExists(DCM_NumberOfFrames) &&
            ds->findAndGetSint32(DCM_NumberOfFrames, frames).bad())
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

    bool write(int out_fd) {
        FdOutputStream out(out_fd);
        DcmWriteCache wcache;
        ff_.transferInit();
        OFCondition c = ff_.write(out, EXS_LittleEndianExplicit, EET_ExplicitLength, &wcache,
                                  EGL_withoutGL, EPD_noChange, 0, 0, 0, EWM_createNewMeta);
        ff_.transferEnd();
        out.flush();
        if (out.consumer.error_number())
            return fail(0, std::string("cannot write the output: ") +
                               strerror(out.consumer.error_number()));
        if (c.bad()) return fail(0, std::string("cannot write the DICOM file: ") + c.text());
        return true;
    }

    ParseError &err_;
    DcmFileFormat ff_;
    DcmDataset tail_; // streaming: the elements that sort after the streamed value
    struct {
        uint16_t group = 0, elem = 0;
        char vr[3] = {};
        uint32_t length = 0;
    } big_; // streaming: the streamed value (its bytes not kept)
    bool started_ = false;
    bool utf8_ = false;
    bool charset_known_ = false;
    bool have_pixels_ = false;
    uint32_t pixel_length_ = 0;
};

} // namespace

std::string make_uuid_uid() {
    std::array<unsigned char, 16> u{};
    size_t got = 0;
    while (got < u.size()) {
        ssize_t r = getrandom(u.data() + got, u.size() - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) abort(); // no randomness: a repeated UID would merge unrelated studies
        got += static_cast<size_t>(r);
    }
    u[6] = static_cast<unsigned char>((u[6] & 0x0F) | 0x40); // version 4
    u[8] = static_cast<unsigned char>((u[8] & 0x3F) | 0x80); // RFC 4122 variant
    // The UUID as one 128-bit unsigned number, in decimal: repeated division
    // by ten of the big-endian bytes (no 128-bit integer type on 32-bit hosts).
    std::string digits;
    bool nonzero = true;
    while (nonzero) {
        unsigned rem = 0;
        nonzero = false;
        for (auto &b : u) {
            unsigned cur = rem * 256 + b;
            b = static_cast<unsigned char>(cur / 10);
            rem = cur % 10;
            nonzero |= b != 0;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + rem));
    }
    return "2.25." + digits;
}

size_t value_chars(std::string_view v, bool utf8) {
    if (!utf8) return v.size();
    size_t n = 0;
    for (unsigned char c : v)
        n += (c & 0xC0) != 0x80;
    return n;
}

bool is_valid_utf8(std::string_view v) {
    size_t i = 0;
    while (i < v.size()) {
        auto c = static_cast<unsigned char>(v[i]);
        size_t len;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > v.size()) return false;
        for (size_t k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(v[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
        static constexpr uint32_t min_cp[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_cp[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

bool synthesize(std::vector<Element> &elems, int out_fd, ParseError &err) {
    if (!dcmDataDict.isDictionaryLoaded()) {
        err.line = 0;
        err.message = "the DICOM data dictionary is not loaded (DCMDICTPATH?)";
        return false;
    }
    Builder b(err);
    return b.run(elems, out_fd);
}

struct StreamingWriter::Impl {
    explicit Impl(ParseError &e) : b(e) {}
    Builder b;
};

StreamingWriter::StreamingWriter(int out_fd, ParseError &err)
    : impl_(std::make_unique<Impl>(err)), out_fd_(out_fd), err_(err) {}
StreamingWriter::~StreamingWriter() = default;

int StreamingWriter::begin(std::vector<Element> &so_far, const Element &big) {
    if (!dcmDataDict.isDictionaryLoaded()) {
        err_.message = "the DICOM data dictionary is not loaded (DCMDICTPATH?)";
        return -2;
    }
    return impl_->b.begin(so_far, big, out_fd_);
}

bool StreamingWriter::started() const {
    return impl_->b.started();
}

bool StreamingWriter::finish(std::vector<Element> &elems) {
    return impl_->b.finish(elems, out_fd_);
}

} // namespace kuvra::synth
