#include "synth_build.h"
#include "synth_dataset.h"
#include "synth_dict.h"
#include "synth_output.h"

#include <dcmtk/config/osconfig.h>
// osconfig.h first: it sets the feature macros the other DCMTK headers test.
#include <dcmtk/dcmdata/dcfilefo.h>

#include <kuvra/internal/reserve.h>

#include <cstring>
#include <unistd.h>

namespace kuvra::synth {

namespace {

int nesting_depth(const std::vector<Element> &elems) {
    int depth = 0;
    for (const auto &el : elems)
        depth += nesting_step(el.kind);
    return depth;
}

// Moves the elements of ds that sort after key into to.
void move_after(DcmDataset *ds, const DcmTagKey &key, DcmDataset &to) {
    for (DcmObject *o = ds->nextInContainer(nullptr); o; o = ds->nextInContainer(o))
        if (o->getTag() > key) {
            to.insert(static_cast<DcmElement *>(ds->remove(o)));
            o = nullptr; // restart: the container changed
        }
}

} // namespace

bool synthesize(std::vector<Element> &elems, int out_fd, ParseError &err) {
    if (!dictionary_for(elems, err)) return false;
    DatasetBuilder b(err);
    if (elems.empty()) return b.fail(0, "input holds no elements");
    DcmFileFormat ff;
    DcmDataset *ds = ff.getDataset();
    if (!b.choose_charset(elems, ds)) return false;
    return b.load(elems, 0, elems.size(), ds) && b.complete(ds) && write_file(ff, out_fd, err);
}

struct StreamingWriter::Impl {
    explicit Impl(ParseError &e) : b(e) {}
    DatasetBuilder b;
    DcmFileFormat ff;
    DcmDataset tail; // the elements that sort after the streamed value
    Element big;     // the streamed value (its bytes not kept)
    kuvra::internal::BlockReservation blocks;
    bool started = false;
};

StreamingWriter::StreamingWriter(int out_fd, ParseError &err)
    : impl_(std::make_unique<Impl>(err)), out_fd_(out_fd), err_(err) {}
StreamingWriter::~StreamingWriter() = default;

// The elements before the large value are checked and written, up to and
// including the header of the value, whose bytes the parser then copies.
int StreamingWriter::begin(std::vector<Element> &so_far, const Element &big) {
    if (!dictionary_for(so_far, err_) || !dictionary_for({&big, 1}, err_)) return -2;
    Impl &s = *impl_;
    if (nesting_depth(so_far) != 0) return -1; // inside a sequence: spooled as usual
    DcmDataset *ds = s.ff.getDataset();
    if (!s.b.choose_charset(so_far, ds)) return -2;
    if (!s.b.load(so_far, 0, so_far.size(), ds) || !s.b.check_header_only(big, ds) ||
        !s.b.complete(ds))
        return -2;
    // Elements that sort after the streamed value are written after it.
    move_after(ds, DcmTagKey(big.group, big.elem), s.tail);
    if (!write_file(s.ff, out_fd_, err_)) return -2;
    s.big.group = big.group;
    s.big.elem = big.elem;
    memcpy(s.big.vr, big.vr, sizeof s.big.vr);
    s.big.length = big.length;
    const uint32_t len = big.length + (big.length % 2);
    if (!write_value_header(out_fd_, big.group, big.elem, big.vr, len, err_)) return -2;
    // A cut back after a failure gives the blocks back with the bytes.
    if (off_t at = lseek(out_fd_, 0, SEEK_CUR); at >= 0)
        s.blocks = kuvra::internal::BlockReservation(out_fd_, at, len);
    s.started = true;
    return out_fd_;
}

bool StreamingWriter::started() const {
    return impl_->started;
}

// After the streamed value: its pad byte, then the elements read after it,
// which must all sort after it.
bool StreamingWriter::finish(std::vector<Element> &elems) {
    Impl &s = *impl_;
    size_t at = 0;
    while (at < elems.size() && !elems[at].streamed)
        ++at;
    if (s.big.length % 2 && !write_raw(out_fd_, "", 1, err_)) return false;
    s.blocks.keep();
    if (!dictionary_for(std::span(elems).subspan(at), err_)) return false;
    const DcmTagKey key(s.big.group, s.big.elem);
    int depth = 0;
    for (size_t i = at + 1; i < elems.size(); ++i) {
        const Element &el = elems[i];
        if (depth == 0 && !is_item_marker(el.kind) && !(DcmTagKey(el.group, el.elem) > key))
            return s.b.fail(el.line, attr_name(el.group, el.elem) + " follows " +
                                         attr_name(s.big.group, s.big.elem) +
                                         " in the input but sorts before it");
        if (el.kind == ValueKind::Text && has_non_ascii(el.text) && !s.b.charset_known())
            return s.b.fail(el.line, attr_name(el.group, el.elem) +
                                         ": a non-ASCII value after the streamed value comes "
                                         "too late to set the character set");
        depth += nesting_step(el.kind);
    }
    return s.b.load(elems, at + 1, elems.size(), &s.tail) && write_elements(s.tail, out_fd_, err_);
}

} // namespace kuvra::synth
