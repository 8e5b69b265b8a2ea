#include "synth_parse.h"
#include "synth_values.h"

#include <kuvra/internal/endmark.h>
#include <kuvra/internal/intparse.h>
#include <kuvra/internal/io.h>
#include <kuvra/internal/pagephase.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kuvra::synth {

int64_t FdSource::read(char *buf, size_t n) {
    for (;;) {
        ssize_t r = ::read(fd_, buf, n);
        if (r >= 0) return r;
        if (errno != EINTR) return -1;
    }
}

int64_t MemorySource::read(char *buf, size_t n) {
    size_t k = n < data_.size() ? n : data_.size();
    memcpy(buf, data_.data(), k);
    data_.remove_prefix(k);
    return static_cast<int64_t>(k);
}

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_hex4(std::string_view s, uint16_t &v) {
    if (s.size() != 4) return false;
    unsigned acc = 0;
    for (char c : s) {
        int h = hex_value(c);
        if (h < 0) return false;
        acc = acc * 16 + static_cast<unsigned>(h);
    }
    v = static_cast<uint16_t>(acc);
    return true;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Byte reader over a Source with one fixed buffer: lines are cut out of it,
// and raw values are copied through it without growing anything.
class Reader {
  public:
    static constexpr size_t buf_size = size_t(1) << 20;
    static constexpr size_t page_size = kuvra::internal::page_size;
    // Room for the buffer at any place within a page.
    static constexpr size_t storage_size = buf_size + 2 * page_size;

    // Reads through shared's buffer, or one of its own when shared is null.
    Reader(Source &src, ReadBuffer *shared)
        : src_(src), page_(page_start((shared ? *shared : own_).get())), buf_(page_) {}

    // Next line without its line feed.  Returns 1 for a line, 0 at end of
    // input (no bytes left), -1 on a read error, -2 when the line exceeds max.
    int getline(std::string &line, size_t max) {
        line.clear();
        bool any = false;
        for (;;) {
            if (pos_ == end_) {
                int f = fill();
                if (f < 0) return -1;
                if (f == 0) return any ? 1 : 0;
            }
            any = true;
            const char *start = buf_ + pos_;
            const void *nl = memchr(start, '\n', end_ - pos_);
            size_t take =
                nl ? static_cast<size_t>(static_cast<const char *>(nl) - start) : end_ - pos_;
            if (line.size() + take > max) return -2;
            line.append(start, take);
            pos_ += take;
            if (nl) {
                ++pos_;
                return 1;
            }
        }
    }

    // Copies exactly n bytes to the descriptor fd (fd >= 0) or appends them to
    // mem, swapping each pair of bytes when swap is set.  Returns the number
    // of bytes delivered, which is less than n at end of input; -1 on a read
    // or write error.
    // With swap, *word_or (if not null) gets the OR of every word delivered,
    // for the check that no sample needs more bits than BitsStored: taken
    // here, where each word passes anyway, it costs no second pass.
    int64_t copy(uint64_t n, int fd, std::string *mem, bool swap = false,
                 uint16_t *word_or = nullptr) {
        uint16_t bits = 0;
        // Nothing buffered: the buffer may move to the place within a page
        // that suits the offsets of this copy's source and target.
        if (pos_ == end_ && fd >= 0 && src_.fd() >= 0) {
            off_t from = lseek(src_.fd(), 0, SEEK_CUR), to = lseek(fd, 0, SEEK_CUR);
            if (from >= 0) buf_ = page_ + kuvra::internal::buffer_phase(from, to >= 0 ? to : 0);
        }
        uint64_t done = 0;
        int pending = -1; // first byte of a pair split between two reads
        while (done < n) {
            // Once the buffer is drained, a plain copy between descriptors
            // goes by the means that suit the two ends (splice from a pipe,
            // a kernel copy between files), through this buffer at most.
            if (pos_ == end_ && fd >= 0 && !swap && src_.fd() >= 0) {
                kuvra::internal::CopyOptions opt;
                opt.buffer = page_;
                opt.buffer_size = buf_size + page_size;
                const kuvra::internal::CopyResult r =
                    kuvra::internal::copy_bytes(src_.fd(), fd, static_cast<int64_t>(n - done), opt);
                done += static_cast<uint64_t>(r.copied);
                if (r.status == r.read_failed || r.status == r.write_failed) {
                    errno = r.error;
                    return -1;
                }
                break; // all of it, or the end of input
            }
            if (pos_ == end_) {
                int f = fill();
                if (f < 0) return -1;
                if (f == 0) break;
            }
            size_t take = end_ - pos_;
            if (take > n - done) take = static_cast<size_t>(n - done);
            char *p = buf_ + pos_;
            size_t len = take;
            if (swap) {
                // Swapped in place: the buffered bytes are consumed here.  A
                // pair split between two reads goes out on its own.
                if (pending >= 0) {
                    char pair[2] = {p[0], static_cast<char>(pending)};
                    bits |= uint16_t(uint8_t(pair[0]) | uint8_t(pair[1]) << 8);
                    pending = -1;
                    if (fd >= 0 ? !write_all(fd, pair, 2) : (mem->append(pair, 2), false))
                        return -1;
                    ++p;
                    --len;
                }
                // A plain loop over whole pairs: the compiler vectorizes it.
                size_t even = len & ~size_t(1);
                for (size_t k = 0; k < even; k += 2) {
                    char t = p[k];
                    p[k] = p[k + 1];
                    p[k + 1] = t;
                    bits |= uint16_t(uint8_t(p[k]) | uint8_t(p[k + 1]) << 8);
                }
                if (len > even) pending = static_cast<unsigned char>(p[even]);
                len = even;
            }
            if (fd >= 0) {
                if (!write_all(fd, p, len)) return -1;
            } else {
                mem->append(p, len);
            }
            pos_ += take;
            done += take;
        }
        if (word_or) *word_or = bits;
        return static_cast<int64_t>(done);
    }

    // Next byte without consuming it: the byte, -1 at end of input, -2 on error.
    int peek() {
        if (pos_ == end_) {
            int f = fill();
            if (f < 0) return -2;
            if (f == 0) return -1;
        }
        return static_cast<unsigned char>(buf_[pos_]);
    }
    void skip() { ++pos_; }

    static bool write_all(int fd, const char *p, size_t n) {
        return kuvra::internal::write_fully(fd, p, n) == n;
    }

  private:
    int fill() {
        int64_t r = src_.read(buf_, buf_size);
        if (r < 0) return -1;
        pos_ = 0;
        end_ = static_cast<size_t>(r);
        return r > 0 ? 1 : 0;
    }

    // The buffer starts on a page, or for a copy between files at the place
    // within a page that buffer_phase chooses (kuvra/internal/pagephase.h
    // says why): a large allocation starts a few bytes into its first page.
    static char *page_start(char *storage) {
        return storage + (page_size - reinterpret_cast<uintptr_t>(storage) % page_size) % page_size;
    }
    Source &src_;
    ReadBuffer own_;
    char *page_;
    char *buf_;
    size_t pos_ = 0, end_ = 0;
};

} // namespace

char *ReadBuffer::get() {
    // Not value-initialised: zeroing a megabyte on every run cost more than
    // parsing a small list.
    if (!storage_) storage_ = std::make_unique_for_overwrite<char[]>(Reader::storage_size);
    return storage_.get();
}

namespace {

// An unlinked file for one spooled value: nothing is left behind, however
// the process ends.
UniqueFd open_spool(const std::string &dir_opt) {
    std::string dir = dir_opt;
    if (dir.empty()) {
        const char *t = getenv("TMPDIR");
        dir = (t && *t) ? t : KV_SPOOL_DIR;
    }
    int fd = -1;
#ifdef O_TMPFILE
    fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return UniqueFd(fd);
#endif
    std::string tmpl = dir + "/kuvra_dicom_synthesizer_XXXXXX";
    fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return UniqueFd();
    unlink(tmpl.c_str());
    return UniqueFd(fd);
}

// One run of parse_elements: the input's reader, the line being read and
// where the results go.  Each step returns false after filling in err.
class ListParser {
  public:
    ListParser(Source &src, const ParseOptions &opt, std::vector<Element> &out, ParseError &err)
        : rd_(src, opt.read_buffer), opt_(opt), out_(out), err_(err) {}

    bool run() {
        for (;;) {
            int g = rd_.getline(line_, opt_.max_line);
            if (g == 0) {
                // An empty list gets the builder's own message: m4 stopped
                // (by the template's m4exit) before writing anything.
                if (!opt_.require_end || seen_end_ || out_.empty()) return true;
                lineno_ = 0;
                return fail("the element list ends without its last line \"" KV_END_MARK
                            "\": m4 or the template stopped before the end");
            }
            ++lineno_;
            if (g == -1) return fail(std::string("cannot read input: ") + strerror(errno));
            if (g == -2)
                return fail("line longer than " + std::to_string(opt_.max_line) + " bytes");
            std::string_view s = line_;
            while (!s.empty() && is_blank(s.front()))
                s.remove_prefix(1);
            if (trim_blanks(s).empty()) continue;
            if (s.front() == '#') {
                seen_end_ |= trim_blanks(s) == KV_END_MARK;
                if (s.starts_with(origin_mark)) origin_ = trim_blanks(s.substr(origin_mark.size()));
                continue;
            }
            if (!element_line(s)) return false;
        }
    }

  private:
    bool fail(std::string msg) {
        err_.line = lineno_;
        err_.message = std::move(msg);
        return false;
    }

    // One element line s, blanks before the tag removed.
    bool element_line(std::string_view s) {
        Element el;
        el.line = lineno_;
        el.origin = std::move(origin_);
        origin_.clear();
        if (s.size() < 11 || s[0] != '(' || s[5] != ',' || s[10] != ')' ||
            !parse_hex4(s.substr(1, 4), el.group) || !parse_hex4(s.substr(6, 4), el.elem))
            return fail("expected an element tag \"(gggg,eeee)\" at the start of the line");
        s.remove_prefix(11);
        const std::string tag = tag_text(el.group, el.elem);
        if (el.group == 0xFFFE) return item_marker(el, s, tag);

        if (s.empty() || s.front() != ' ')
            return fail("expected a blank and a VR after the tag " + tag);
        while (!s.empty() && s.front() == ' ')
            s.remove_prefix(1);
        std::string_view vr = s.substr(0, 2);
        if (!is_known_vr(vr)) return fail("unknown VR \"" + std::string(vr) + "\" for " + tag);
        memcpy(el.vr, vr.data(), 2);
        s.remove_prefix(2);
        if (!s.empty()) {
            if (s.front() != ' ') return fail("expected a blank after the VR of " + tag);
            s.remove_prefix(1);
        }

        if (vr == "SQ") {
            if (!trim_blanks(s).empty())
                return fail("sequence " + tag + " takes no value on its line");
            el.kind = ValueKind::SequenceStart;
        } else if (!is_binary_vr(vr)) {
            el.kind = ValueKind::Text;
            el.text.assign(s);
        } else {
            el.kind = ValueKind::Binary;
            std::string_view from_path;
            if (!binary_count(el, s, tag, from_path)) return false;
            if (!binary_value(el, from_path, tag)) return false;
        }
        out_.push_back(std::move(el));
        return true;
    }

    bool item_marker(Element &el, std::string_view rest, const std::string &tag) {
        if (!trim_blanks(rest).empty()) return fail("item tag " + tag + " takes no VR or value");
        if (el.elem == 0xE000)
            el.kind = ValueKind::ItemStart;
        else if (el.elem == 0xE00D)
            el.kind = ValueKind::ItemEnd;
        else if (el.elem == 0xE0DD)
            el.kind = ValueKind::SequenceEnd;
        else
            return fail("unknown item tag " + tag);
        out_.push_back(std::move(el));
        return true;
    }

    // What follows the VR of a binary element: a decimal byte count,
    // optionally "big-endian" (OW only), optionally "from FILE".  Sets the
    // element's length and word order; from_path is the file, or empty.
    bool binary_count(Element &el, std::string_view s, const std::string &tag,
                      std::string_view &from_path) {
        std::string_view vr(el.vr, 2);
        std::string_view count = trim_blanks(s);
        std::string_view words;
        if (size_t sp = count.find(' '); sp != std::string_view::npos) {
            words = trim_blanks(count.substr(sp));
            count = count.substr(0, sp);
        }
        if (words == "big-endian" || words.substr(0, 11) == "big-endian ") {
            if (vr != "OW")
                return fail("\"big-endian\" applies to OW values only, not to " + tag + " " +
                            std::string(vr));
            el.big_endian_words = true;
            words = trim_blanks(words.substr(10));
        }
        if (words == "from") {
            return fail("\"from\" without a file name for " + tag);
        } else if (words.substr(0, 5) == "from ") {
            from_path = trim_blanks(words.substr(5));
        } else if (!words.empty()) {
            return fail("unknown word after the byte count of " + tag +
                        " (only \"big-endian\" and \"from FILE\" are known)");
        }
        if (count.empty() || count.size() > 10 ||
            count.find_first_not_of("0123456789") != std::string_view::npos)
            return fail("expected the byte count of " + tag + " " + std::string(vr) +
                        " as a decimal number");
        const uint64_t n =
            kuvra::internal::parse_int<uint64_t>(count, 0, UINT64_MAX, {.blanks = ""}).value;
        // The value length field holds 32 bits, 0xFFFFFFFF excluded, after
        // padding to an even length.
        if (n > 0xFFFFFFFEull)
            return fail("byte count " + std::string(count) + " of " + tag + " is too large");
        if (el.big_endian_words && n % 2)
            return fail("odd byte count " + std::string(count) + " for 16-bit words of " + tag);
        el.length = static_cast<uint32_t>(n);
        return true;
    }

    // The value bytes of a binary element, from the input or from the file
    // named on its line, to where they belong: the descriptor on_large_value
    // picks, a spool file, or memory.
    bool binary_value(Element &el, std::string_view from_path, const std::string &tag) {
        const uint64_t n = el.length;
        // A value taken from a file: its bytes are read there, not from the
        // input, and the input goes on with the next element line.
        UniqueFd from_fd;
        std::unique_ptr<FdSource> from_src;
        std::unique_ptr<Reader> from_rd;
        if (!from_path.empty()) {
            std::string path(from_path);
            // O_NONBLOCK: a FIFO named here must not hang the open.
            from_fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
            if (from_fd.get() < 0)
                return fail("cannot open " + path + " for " + tag + ": " + strerror(errno));
            struct stat st;
            if (fstat(from_fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
                return fail(path + " for " + tag + " is not a regular file");
            if (static_cast<uint64_t>(st.st_size) != n)
                return fail(path + " for " + tag + " holds " + std::to_string(st.st_size) +
                            " bytes, not the " + std::to_string(n) + " announced");
            from_src = std::make_unique<FdSource>(from_fd.get());
            from_rd = std::make_unique<Reader>(*from_src, nullptr);
        }
        Reader &vrd = from_rd ? *from_rd : rd_;
        int64_t got;
        int target = -1;
        if (n > opt_.spool_threshold && opt_.on_large_value) {
            target = opt_.on_large_value(out_, el, err_);
            if (target == -2) return false;
        }
        if (target >= 0) {
            el.streamed = true;
            got = vrd.copy(n, target, nullptr, el.big_endian_words, &el.word_or);
        } else if (n > opt_.spool_threshold) {
            el.spool = open_spool(opt_.spool_dir);
            if (el.spool.get() < 0)
                return fail(std::string("cannot create a spool file: ") + strerror(errno));
            got = vrd.copy(n, el.spool.get(), nullptr, el.big_endian_words, &el.word_or);
        } else {
            el.bytes.reserve(static_cast<size_t>(n));
            got = vrd.copy(n, -1, &el.bytes, el.big_endian_words, &el.word_or);
        }
        if (got < 0) return fail("cannot copy the value of " + tag + ": " + strerror(errno));
        if (from_rd) {
            if (static_cast<uint64_t>(got) != n)
                return fail(std::string(from_path) + " for " + tag + " ends after " +
                            std::to_string(got) + " of its " + std::to_string(n) + " bytes");
            return true;
        }
        if (static_cast<uint64_t>(got) != n)
            return fail("input ends after " + std::to_string(got) + " of the " + std::to_string(n) +
                        " bytes announced for " + tag);
        int after = rd_.peek();
        if (after == -2) return fail(std::string("cannot read input: ") + strerror(errno));
        if (after >= 0) {
            if (after != '\n')
                return fail("the " + std::to_string(n) + " bytes of " + tag +
                            " are not followed by a line end: wrong byte count?");
            rd_.skip();
        }
        return true;
    }

    Reader rd_;
    const ParseOptions &opt_;
    std::vector<Element> &out_;
    ParseError &err_;
    std::string line_;
    int64_t lineno_ = 0;
    bool seen_end_ = false; // the line KV_END_MARK has been read
    // "#origin: TEXT" names where the value of the next element line came from.
    static constexpr std::string_view origin_mark = "#origin: ";
    std::string origin_;
};

} // namespace

bool parse_elements(Source &src, const ParseOptions &opt, std::vector<Element> &out,
                    ParseError &err) {
    return ListParser(src, opt, out, err).run();
}

} // namespace kuvra::synth
