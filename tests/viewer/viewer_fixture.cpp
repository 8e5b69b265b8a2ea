#include "viewer_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace viewertest {

std::string bytes_after(const std::string &lead, size_t size) {
    std::string s = lead;
    uint32_t x = 2463534242u;
    while (s.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s += char(x & 0xFF);
    }
    s.resize(size);
    return s;
}

std::string png_bytes(size_t size) {
    return bytes_after(std::string("\x89PNG\r\n\x1a\n", 8), size);
}

std::string jpeg_bytes(size_t size) {
    return bytes_after(std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11), size);
}

std::string gzipped(const std::string &bytes) {
    kvtest::RunOptions opt;
    opt.input = bytes;
    auto r = kvtest::run({"gzip", "-c", "-n"}, opt);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::string capsule(const std::string &content, size_t pad) {
    return "KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n" + std::to_string(content.size()) + "\n" +
           std::to_string(content.size() + pad) + "\n" + content + std::string(pad, '\0') +
           "\nENDFIELD\n";
}

namespace {

void put16(std::string &s, unsigned v) {
    s += char(v & 0xFF);
    s += char(v >> 8 & 0xFF);
}
void put32(std::string &s, uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

// One explicit-VR little-endian element; values are padded to even length
// (UI with a zero byte, text with a blank).
std::string element(unsigned group, unsigned elem, const char *vr, std::string value) {
    if (value.size() % 2) value += strcmp(vr, "UI") == 0 || strcmp(vr, "OB") == 0 ? '\0' : ' ';
    std::string s;
    put16(s, group);
    put16(s, elem);
    s += vr;
    bool long_form = strcmp(vr, "OB") == 0 || strcmp(vr, "OW") == 0;
    if (long_form) {
        put16(s, 0);
        put32(s, uint32_t(value.size()));
    } else {
        put16(s, unsigned(value.size()));
    }
    return s + value;
}

std::string us(unsigned v) {
    std::string s;
    put16(s, v);
    return s;
}

} // namespace

std::string dicom_file(int rows, int cols) {
    const std::string sop_class = "1.2.840.10008.5.1.4.1.1.7"; // secondary capture
    const std::string sop_instance = "2.25.1234567890123456789";
    std::string meta = element(0x0002, 0x0001, "OB", std::string("\0\1", 2)) +
                       element(0x0002, 0x0002, "UI", sop_class) +
                       element(0x0002, 0x0003, "UI", sop_instance) +
                       element(0x0002, 0x0010, "UI", "1.2.840.10008.1.2.1");
    std::string length;
    put32(length, uint32_t(meta.size()));
    std::string pixels;
    for (int i = 0; i < rows * cols; ++i)
        pixels += char(i * 7);
    std::string data =
        element(0x0008, 0x0016, "UI", sop_class) + element(0x0008, 0x0018, "UI", sop_instance) +
        element(0x0028, 0x0002, "US", us(1)) + element(0x0028, 0x0004, "CS", "MONOCHROME2") +
        element(0x0028, 0x0010, "US", us(unsigned(rows))) +
        element(0x0028, 0x0011, "US", us(unsigned(cols))) + element(0x0028, 0x0100, "US", us(8)) +
        element(0x0028, 0x0101, "US", us(8)) + element(0x0028, 0x0102, "US", us(7)) +
        element(0x0028, 0x0103, "US", us(0)) + element(0x7FE0, 0x0010, "OB", pixels);
    return std::string(128, '\0') + "DICM" + element(0x0002, 0x0000, "UL", length) + meta + data;
}

std::map<int, std::string> open_fds() {
    std::map<int, std::string> fds;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code lec;
        fds[std::stoi(e.path().filename().string())] = fs::read_symlink(e.path(), lec).string();
    }
    return fds;
}

std::vector<pid_t> children() {
    std::vector<pid_t> found;
    const pid_t self = getpid();
    std::error_code ec;
    for (const auto &e : fs::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string stat = kvtest::read_file(e.path() / "stat");
        // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
        auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        pid_t ppid = 0;
        if (rest >> state >> ppid && ppid == self) found.push_back(pid_t(std::stoi(name)));
    }
    return found;
}

bool wait_for(const std::function<bool()> &cond, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void PrintTo(const Message &m, std::ostream *os) {
    *os << "{" << m.category << ", " << m.severity << ", \"" << m.text << "\"}";
}

std::vector<Message> ring_messages() {
    std::vector<Message> out;
    char *all = KVDebugGetstrInmem(0, -1, -1, 0xFFFFFFFFu, nullptr, nullptr);
    if (!all) return out;
    std::string text = all;
    free(all);
    // Raw style: "<sec>.<usec>:<cat> <mask>: <text>", the text ending its line.
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? end : end + 1 - at);
        long sec = 0;
        int usec = 0, cat = -1, prefix = 0;
        unsigned mask = 0;
        // The text starts after the one blank that follows the mask.
        bool parsed =
            sscanf(line.c_str(), "%ld.%6d:%d %8x:%n", &sec, &usec, &cat, &mask, &prefix) == 4 &&
            prefix > 0 && line[size_t(prefix)] == ' ' && end != std::string::npos;
        EXPECT_TRUE(parsed) << "unparsed ring text: " << line;
        if (!parsed) break;
        out.push_back({cat, mask, line.substr(size_t(prefix) + 1)});
        at = end + 1;
    }
    return out;
}

Message error_message(const std::string &text) {
    return {KV_CAT_LOADSAVE, KV_SEV_ERROR, text};
}

Message warning_for(const std::string &path, const std::string &mime, int code) {
    return error_message("WARNING: File " + path + " not convertible. Innermost format is " + mime +
                         " (" + std::to_string(code) + ").\n");
}

Message see_failed(int result) {
    return error_message("'see' returned an error state (" + std::to_string(result) + ").\n");
}

// ---- Fixture ----------------------------------------------------------------

void ViewerTest::SetUp() {
    bindir = tmp / "bin";
    fs::create_directory(bindir);
    const std::string rec = (tmp / "rec").string();
    fs::create_directory(rec);
    // The arguments file is renamed into place last: its presence means the
    // recording is complete.  Only a stream is read; given a path, the
    // viewer's standard input is the test's own and is left alone.
    kvtest::write_file(bindir / "see", "#!/bin/sh\n"
                                       "r='" +
                                           rec +
                                           "'\n"
                                           "echo run >> \"$r/calls\"\n"
                                           "readlink /proc/$$/fd/0 > \"$r/stdin_name\"\n"
                                           "case \"$1\" in *:-) cat > \"$r/input\" ;; esac\n"
                                           ": > \"$r/args.part\"\n"
                                           "for a in \"$@\"; do printf '%s\\n' \"$a\" >> "
                                           "\"$r/args.part\"; done\n"
                                           "mv \"$r/args.part\" \"$r/args\"\n");
    chmod((bindir / "see").c_str(), 0755);

    const char *path = getenv("PATH");
    saved_path_ = path ? path : "";
    set_path(std::string(KUVRA_BIN_DIR) + ":" + saved_path_);

    unsetenv("KUVRA_DEBUG_FILE");
    unsetenv("KUVRA_DEBUG_FLAGS");
    debug_exit();
    ASSERT_EQ(debug_init(), 0);
    logfile = tmp / "log";
    ASSERT_EQ(debug_set_file(logfile.c_str()), 0);
}

void ViewerTest::TearDown() {
    debug_set_file(nullptr);
    debug_exit();
    setenv("PATH", saved_path_.c_str(), 1);
    // Children still running would outlive the temporary directory.
    wait_for([] { return children().empty(); }, std::chrono::seconds(10));
}

void ViewerTest::set_path(const std::string &rest) {
    setenv("PATH", (bindir.string() + ":" + rest).c_str(), 1);
}

std::string ViewerTest::sample(const std::string &name, const std::string &bytes) {
    kvtest::write_file(tmp / name, bytes);
    return (tmp / name).string();
}

int ViewerTest::call(const std::string &path) {
    auto before = open_fds();
    int result = open_file_via_OS(path.c_str());
    EXPECT_EQ(open_fds(), before) << "descriptors differ after open_file_via_OS(" << path << ")";
    return result;
}

ViewerTest::Recording ViewerTest::wait_recording() {
    Recording r;
    const fs::path rec = tmp / "rec";
    if (!wait_for([&] { return fs::exists(rec / "args"); })) {
        ADD_FAILURE() << "the viewer did not run to its end";
        return r;
    }
    std::istringstream args(kvtest::read_file(rec / "args"));
    for (std::string a; std::getline(args, a);)
        r.args.push_back(a);
    r.stdin_name = kvtest::read_file(rec / "stdin_name");
    if (!r.stdin_name.empty() && r.stdin_name.back() == '\n') r.stdin_name.pop_back();
    if (fs::exists(rec / "input")) r.input = kvtest::read_file(rec / "input");
    std::string calls = kvtest::read_file(rec / "calls");
    r.calls = int(std::count(calls.begin(), calls.end(), '\n'));
    return r;
}

void ViewerTest::expect_children_collected() {
    EXPECT_TRUE(wait_for([] { return children().empty(); }))
        << children().size() << " children left running or uncollected";
}

} // namespace viewertest
