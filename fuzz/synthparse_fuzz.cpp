// The synthesizer's element-list reader over arbitrary bytes.
//
// On success the elements must be well formed (a known VR of the right kind,
// text without a line feed, binary values of exactly their count, in memory
// or in a spool file), and writing them back out in the list format and
// reading that again must give the same elements.  Whatever the outcome, no
// spool file may stay in the spool directory and no descriptor may stay open.
// Every text value also goes through the VR value checks.
//
// Input: byte 0 picks the spool threshold and the line limit, the rest is
// the list.
#include "report.h"
#include "synth_parse.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace kuvra::synth;

namespace {

std::string spool_dir;
// One buffer for all runs, as a batch would keep it.
ReadBuffer read_buffer;

int lowest_free_fd() {
    int fd = open("/dev/null", O_RDONLY);
    if (fd >= 0) close(fd);
    return fd;
}

bool dir_empty(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    bool empty = true;
    while (dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = false;
    closedir(d);
    return empty;
}

[[noreturn]] void fail(const char *what, const Element &e) {
    dprintf(fuzzreport::fd, "%s: element (%04X,%04X) %s on line %lld\n", what, e.group, e.elem,
            e.vr, (long long)e.line);
    abort();
}

// The value bytes of a binary element, wherever they are kept.
std::string binary_value(const Element &e) {
    if (e.spool.get() < 0) return e.bytes;
    struct stat st;
    if (fstat(e.spool.get(), &st) != 0) fail("spool file gone", e);
    if (uint64_t(st.st_size) != e.length) fail("spool file size differs from the count", e);
    std::string v(e.length, '\0');
    if (pread(e.spool.get(), v.data(), v.size(), 0) != ssize_t(v.size()))
        fail("spool file unreadable", e);
    return v;
}

void check_element(const Element &e) {
    switch (e.kind) {
    case ValueKind::Text: {
        if (!is_known_vr(e.vr) || is_binary_vr(e.vr)) fail("text element with a bad VR", e);
        if (e.text.find('\n') != std::string::npos) fail("line feed in a text value", e);
        // The value checks on what the reader passes on: a refusal says
        // why, and a UTF-8 dataset never takes a value that is not UTF-8.
        for (bool utf8 : {false, true}) {
            std::string why;
            if (!check_text_value(e.vr, e.text, utf8, why)) {
                if (why.empty()) fail("value refused without a reason", e);
            } else if (utf8 && !is_valid_utf8(e.text)) {
                fail("invalid UTF-8 passed", e);
            }
        }
        break;
    }
    case ValueKind::Binary:
        if (!is_binary_vr(e.vr)) fail("binary element with a text VR", e);
        if (e.streamed) fail("streamed without a callback", e);
        if (e.spool.get() < 0 && e.bytes.size() != e.length) fail("count differs from bytes", e);
        break;
    case ValueKind::SequenceStart:
        if (strcmp(e.vr, "SQ") != 0) fail("sequence without SQ", e);
        break;
    default:
        if (e.vr[0] != '\0') fail("item marker with a VR", e);
        if (e.group != 0xFFFE) fail("item marker outside group FFFE", e);
    }
    if (e.line < 1) fail("line number", e);
}

// The list format again, from parsed elements.
std::string write_list(const std::vector<Element> &els) {
    std::string out;
    char tag[16];
    for (const Element &e : els) {
        snprintf(tag, sizeof tag, "(%04X,%04X)", e.group, e.elem);
        out += tag;
        switch (e.kind) {
        case ValueKind::Text:
            out += std::string(" ") + e.vr + (e.text.empty() ? "" : " " + e.text) + "\n";
            break;
        case ValueKind::Binary: {
            const std::string v = binary_value(e);
            out += std::string(" ") + e.vr + " " + std::to_string(v.size()) + "\n" + v + "\n";
            break;
        }
        case ValueKind::SequenceStart:
            out += " SQ\n";
            break;
        default:
            out += "\n";
        }
    }
    return out;
}

bool same(const Element &a, const Element &b) {
    return a.group == b.group && a.elem == b.elem && strcmp(a.vr, b.vr) == 0 && a.kind == b.kind &&
           a.text == b.text && (a.kind != ValueKind::Binary || binary_value(a) == binary_value(b));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char tmpl[] = "/tmp/fuzz_synthparse.XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    spool_dir = tmpl;
    // Empty after every run (checked below), so it can go at the end.
    atexit([] { rmdir(spool_dir.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const int free_fd_before = lowest_free_fd();
    ParseOptions opt;
    opt.spool_dir = spool_dir;
    opt.read_buffer = &read_buffer;
    opt.spool_threshold = (data[0] & 0x80) ? 64 * 1024 : data[0] % 32;
    if (data[0] & 0x40) opt.max_line = 40;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    {
        MemorySource src(text);
        std::vector<Element> els;
        ParseError err;
        const bool ok = parse_elements(src, opt, els, err);
        if (!ok && err.message.empty()) {
            dprintf(fuzzreport::fd, "failure without a message\n");
            abort();
        }
        if (ok) {
            int64_t last = 0;
            for (const Element &e : els) {
                check_element(e);
                if (e.line < last) fail("line numbers go back", e);
                last = e.line;
            }
            // The same elements from the list written back; long lines are
            // allowed this time, the values are what they are.
            const std::string again = write_list(els);
            ParseOptions opt2 = opt;
            opt2.max_line = 4 * 1024 * 1024;
            MemorySource src2(again);
            std::vector<Element> els2;
            ParseError err2;
            if (!parse_elements(src2, opt2, els2, err2)) {
                dprintf(fuzzreport::fd, "written back list refused: line %lld: %s\n",
                        (long long)err2.line, err2.message.c_str());
                abort();
            }
            if (els2.size() != els.size()) {
                dprintf(fuzzreport::fd, "written back: %zu elements, first read %zu\n", els2.size(),
                        els.size());
                abort();
            }
            for (size_t i = 0; i < els.size(); ++i)
                if (!same(els[i], els2[i])) fail("written back element differs", els[i]);
        }
    }
    if (!dir_empty(spool_dir)) {
        dprintf(fuzzreport::fd, "spool file left in %s\n", spool_dir.c_str());
        abort();
    }
    if (lowest_free_fd() != free_fd_before) {
        dprintf(fuzzreport::fd, "descriptor left open\n");
        abort();
    }
    return 0;
}
