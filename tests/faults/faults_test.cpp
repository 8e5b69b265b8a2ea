// Fault injection: what fails around the programs, and how they must take it.
//
// - a full /tmp for the spooler (a file size limit; SIGXFSZ must not kill);
// - a decompressor that dies in the middle of its stream;
// - m4 or the synthesizer missing from PATH, the synthesizer failing;
// - a corrupt or cut compressed input, m4 killed, a template that stops:
//   no DICOM;
// - standard output closed early (| head -c 10);
// - signals arriving while the library reads and writes (EINTR).
// Each run has a private /tmp, a time limit and its orphans counted
// (sandbox.h); each checks the status, the message and what is left behind.
#include "kvtest.h"
#include "sandbox.h"

#include <kuvra/filetype.h>
#include <kuvra/internal/io.h>
#include <kuvra/pipes.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using kvsandbox::describe;
using kvsandbox::Outcome;

namespace {

const std::string converter = kvtest::bin("kuvra_ppmtodicom");

std::string p6_image(int w, int h) {
    std::string px;
    px.reserve(size_t(w) * size_t(h) * 3);
    for (int i = 0; i < w * h * 3; ++i)
        px.push_back(char((i * 7 + i / 251) & 0xff));
    return "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" + px;
}

// The bytes through a real compressor.
std::string compress(const std::string &data, const std::string &program) {
    kvtest::RunOptions opt;
    opt.input = data;
    auto r = kvtest::run({program, "-c"}, opt);
    if (r.status != 0) ADD_FAILURE() << program << " failed";
    return r.out;
}

void write_script(const fs::path &p, const std::string &body) {
    kvtest::write_file(p, "#!/bin/sh\n" + body);
    fs::permissions(p, fs::perms::owner_all);
}

// Where a program lives on the test's own PATH, or "".
std::string which(const std::string &name) {
    std::string path = getenv("PATH") ? getenv("PATH") : "";
    size_t start = 0;
    while (start <= path.size()) {
        size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? colon : colon - start);
        fs::path cand = fs::path(dir.empty() ? "." : dir) / name;
        if (access(cand.c_str(), X_OK) == 0) return cand.string();
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return "";
}

// A directory to be the whole PATH: the build's programs and the outside
// tools the pipeline needs, less those named in `without`.  The converter
// is a copy, not a link: run from there, it finds no sibling that the
// directory lacks (through /proc/self/exe, a link would lead back to the
// build's).
fs::path path_dir(const kvsandbox::ScratchDir &dir, const std::vector<std::string> &without) {
    fs::path bin = dir / "pathbin";
    fs::create_directories(bin);
    std::vector<std::string> tools = {"m4",   "dd",    "rm",      "cat",  "gunzip", "head",
                                      "gzip", "bzip2", "bunzip2", "lzma", "sh"};
    for (const auto &e : fs::directory_iterator(KUVRA_BIN_DIR))
        tools.push_back(e.path().filename().string());
    for (const auto &t : tools) {
        if (std::find(without.begin(), without.end(), t) != without.end()) continue;
        std::string at = t.rfind("kuvra_", 0) == 0 ? kvtest::bin(t) : which(t);
        if (at.empty() || fs::exists(bin / t)) continue;
        if (t == "kuvra_ppmtodicom")
            fs::copy_file(at, bin / t);
        else
            fs::create_symlink(at, bin / t);
    }
    return bin;
}

// A HOME whose ~/.kuvra/share holds a module that just inserts the pixel
// data, so that the export pipeline runs without the DICOM templates.
void add_home_module(const kvsandbox::ScratchDir &dir) {
    fs::path mod = dir / "home/.kuvra/share/config/dicom/modules";
    fs::create_directories(mod);
    kvtest::write_file(mod / "faults_module", "XX_REQUIRE([[XX_FIELD_RGB]])dnl\nXX_FIELD_RGB_DATA");
}

// A stand-in kuvra_dicom_synthesizer with the given script body, for
// KUVRA_DICOM_SYNTHESIZER: the faults here are the converter's, and every
// build (the 32-bit one has no DCMTK tools) can run them.
fs::path fake_synthesizer(const kvsandbox::ScratchDir &dir, const std::string &body) {
    fs::path fake = dir / "fake";
    fs::create_directories(fake);
    write_script(fake / "kuvra_dicom_synthesizer", body);
    return fake / "kuvra_dicom_synthesizer";
}

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(converter)) GTEST_SKIP() << "kuvra_ppmtodicom is not built";
        add_home_module(dir);
    }
    // Environment for an export run: our HOME, the given PATH and the
    // synthesizer to run instead of the build's, if any.
    std::vector<std::string> env(const fs::path &path, const fs::path &synthesizer = {}) const {
        std::vector<std::string> e = {"HOME=" + (dir / "home").string(), "PATH=" + path.string()};
        if (!synthesizer.empty()) e.push_back("KUVRA_DICOM_SYNTHESIZER=" + synthesizer.string());
        return e;
    }
    kvsandbox::ScratchDir dir;
};

void no_signal_no_orphan(const Outcome &o) {
    EXPECT_EQ(o.r.term_signal, 0) << describe(o.r);
    EXPECT_NE(o.r.status, kvsandbox::TIMED_OUT) << "hung\n" << describe(o.r);
    EXPECT_TRUE(o.orphans.empty()) << ::testing::PrintToString(o.orphans);
}

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// ---- /tmp full --------------------------------------------------------

// The spool file may grow to 64 KiB only; the image has three times that.
// Writes past the limit fail (EFBIG) instead of killing the process with
// SIGXFSZ, and the partial file is removed.
TEST_F(Faults, TmpFullStream) {
    kvsandbox::Options opt;
    opt.input = p6_image(256, 256);
    opt.file_size_limit = 65536;
    Outcome o = kvsandbox::run({converter, "-m"}, opt);
    no_signal_no_orphan(o);
    EXPECT_EQ(o.r.status, 1) << describe(o.r);
    EXPECT_TRUE(has(o.r.err, "Ouch - wlen failure?\n")) << o.r.err;
    EXPECT_TRUE(has(o.r.err, "Field copy failure.\n")) << o.r.err;
    EXPECT_TRUE(o.tmp_left.empty())
        << "partial spool file left: " << ::testing::PrintToString(o.tmp_left);
}

TEST_F(Faults, TmpFullExport) {
    kvsandbox::Options opt;
    opt.input = p6_image(256, 256);
    opt.file_size_limit = 65536;
    opt.env = env(path_dir(dir, {}), fake_synthesizer(dir, "cat >/dev/null\n"));
    Outcome o = kvsandbox::run({converter, "-d", "faults_module"}, opt);
    no_signal_no_orphan(o);
    EXPECT_EQ(o.r.status, 1) << describe(o.r);
    EXPECT_TRUE(has(o.r.err, "Ouch - wlen failure?\n")) << o.r.err;
    EXPECT_TRUE(has(o.r.err, "Field copy failure.\n")) << o.r.err;
    EXPECT_TRUE(o.tmp_left.empty()) << ::testing::PrintToString(o.tmp_left);
}

// ---- spool space follows the data ----------------------------------------

// kuvra_ppmtodicom -m with a tmpfs of tmpfs_size as its /tmp (a mount
// namespace of its own), reading a pipe that the test feeds; its /tmp is
// seen from here through /proc/PID/root.  False when no such run can be
// made here.
struct TmpfsRun {
    pid_t pid = -1;
    int feed = -1;
    fs::path err;
};

bool start_on_tmpfs(const kvsandbox::ScratchDir &dir, const std::string &tmpfs_size,
                    TmpfsRun &run) {
    if (!kvsandbox::have_private_tmp()) return false;
    // The new tmpfs hides a build tree below /tmp (and the error file in it).
    if (std::string(KUVRA_BIN_DIR).rfind("/tmp/", 0) == 0 ||
        dir.path().string().rfind("/tmp/", 0) == 0)
        return false;
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    run.err = dir / "err";
    const std::string script = "mount -t tmpfs -o size=" + tmpfs_size +
                               " tmpfs /tmp && exec \"$0\" -m <&3 >/dev/null 2>\"$1\"";
    // kuvra_pipeprefix puts the sniffed bytes of the pipe back.
    const std::string path =
        std::string(KUVRA_BIN_DIR) + ":" + (getenv("PATH") ? getenv("PATH") : "");
    pid_t pid = fork();
    if (pid == 0) {
        setenv("PATH", path.c_str(), 1);
        if (p[0] == 3 ? fcntl(3, F_SETFD, 0) != 0 : dup2(p[0], 3) != 3) _exit(127);
        execlp("unshare", "unshare", "-rm", "sh", "-c", script.c_str(), converter.c_str(),
               run.err.c_str(), nullptr);
        _exit(127);
    }
    close(p[0]);
    run.pid = pid;
    run.feed = p[1];
    return pid > 0;
}

// Status of the run once its input has ended.
int finish(TmpfsRun &run) {
    if (run.feed >= 0) close(run.feed);
    run.feed = -1;
    int status = 0;
    while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A header that declares 2 GiB of pixels and then stalls takes space for
// the bytes that came and a bounded step more, not for the 2 GiB; a field
// larger than the whole spool directory is refused before a byte is read.
TEST_F(Faults, SpoolSpaceFollowsTheData) {
    signal(SIGPIPE, SIG_IGN);
    TmpfsRun run;
    if (!start_on_tmpfs(dir, "3g", run))
        GTEST_SKIP() << "no mount namespace for a tmpfs, or the build lies below /tmp";
    const std::string head = "P5\n46340 46340\n255\n", mib(1 << 20, 'x');
    ASSERT_EQ(write(run.feed, head.data(), head.size()), ssize_t(head.size()));
    ASSERT_TRUE(kuvra::internal::write_fully(run.feed, mib.data(), mib.size()) == mib.size());
    const fs::path tmp = "/proc/" + std::to_string(run.pid) + "/root/tmp";
    struct stat st {};
    bool seen = false;
    for (int i = 0; i < 1000 && !seen; i++) {
        std::error_code ec;
        for (const auto &e : fs::directory_iterator(tmp, ec))
            if (e.path().filename().string().rfind("kuvra_ppmtodicom_", 0) == 0 &&
                stat(e.path().c_str(), &st) == 0 && st.st_size >= off_t(mib.size()))
                seen = true;
        if (!seen) usleep(10000);
    }
    ASSERT_TRUE(seen) << "no spool file with the bytes sent";
    EXPECT_LE(int64_t(st.st_blocks) * 512, (int64_t(9) << 20) + 65536);
    EXPECT_EQ(finish(run), 1);
    EXPECT_TRUE(has(kvtest::read_file(run.err), "Ouch - rlen failure?\n"));

    ASSERT_TRUE(start_on_tmpfs(dir, "8m", run));
    const std::string big = "P5\n4096 4096\n255\n";
    ASSERT_EQ(write(run.feed, big.data(), big.size()), ssize_t(big.size()));
    EXPECT_EQ(finish(run), 1);
    const std::string err = kvtest::read_file(run.err);
    EXPECT_TRUE(has(err, "Field of 16777216 bytes does not fit the ")) << err;
    EXPECT_TRUE(has(err, " bytes free in the spool directory /tmp.\n")) << err;
    EXPECT_TRUE(has(err, "Field copy failure.\n")) << err;
    EXPECT_FALSE(has(err, "rlen")) << err;
}

// ---- a decompressor that dies -------------------------------------------

// gunzip that delivers 3,000 bytes and is then killed.
fs::path dying_gunzip(const kvsandbox::ScratchDir &dir) {
    fs::path bin = dir / "dying";
    fs::create_directories(bin);
    write_script(bin / "gunzip", "gzip -dc | head -c 3000\nkill -KILL $$\n");
    return bin;
}

TEST_F(Faults, DecompressorDiesMidStream) {
    kvsandbox::Options opt;
    opt.input = compress(p6_image(100, 100), "gzip");
    opt.env = {"PATH=" + dying_gunzip(dir).string() + ":" + getenv("PATH")};
    Outcome o = kvsandbox::run({converter, "-m"}, opt);
    no_signal_no_orphan(o);
    EXPECT_EQ(o.r.status, 1) << describe(o.r);
    EXPECT_TRUE(has(o.r.err, "Field copy failure.\n")) << o.r.err;
    EXPECT_TRUE(o.tmp_left.empty()) << ::testing::PrintToString(o.tmp_left);

    opt.env = env(fs::path(dying_gunzip(dir).string() + ":" + path_dir(dir, {}).string()),
                  fake_synthesizer(dir, "cat >/dev/null\n"));
    o = kvsandbox::run({converter, "-d", "faults_module"}, opt);
    no_signal_no_orphan(o);
    EXPECT_EQ(o.r.status, 1) << describe(o.r);
    EXPECT_TRUE(has(o.r.err, "Field copy failure.\n")) << o.r.err;
    EXPECT_TRUE(o.tmp_left.empty()) << ::testing::PrintToString(o.tmp_left);
}

// ---- the export pipeline's programs missing or failing -------------------

// The pipeline is started without a shell: a program that cannot be run
// means the sink cannot be opened, before any input is read or spooled;
// the message names the program, and nothing comes from the other one (an
// m4 without its synthesizer would complain of an empty stream).  The
// converter runs from bin, a PATH directory of its own.
void pipeline_program_missing(const std::vector<std::string> &env, const fs::path &bin,
                              const std::string &message) {
    kvsandbox::Options opt;
    opt.input = p6_image(64, 64);
    opt.env = env;
    Outcome o = kvsandbox::run({(bin / "kuvra_ppmtodicom").string(), "-d", "faults_module"}, opt);
    no_signal_no_orphan(o);
    EXPECT_EQ(o.r.status, 1) << describe(o.r);
    EXPECT_TRUE(has(o.r.err, "Cannot open output file/pipe.\n")) << o.r.err;
    EXPECT_TRUE(has(o.r.err, message)) << o.r.err;
    EXPECT_EQ(std::count(o.r.err.begin(), o.r.err.end(), '\n'), 2) << o.r.err;
    EXPECT_TRUE(o.tmp_left.empty()) << ::testing::PrintToString(o.tmp_left);
}

TEST_F(Faults, M4Missing) {
    // Without a synthesizer (the 32-bit build has none) its own message
    // comes first and m4's is not the only one.
    if (!fs::exists(kvtest::bin("kuvra_dicom_synthesizer")))
        GTEST_SKIP() << "no kuvra_dicom_synthesizer built";
    fs::path bin = path_dir(dir, {"m4"});
    pipeline_program_missing(env(bin), bin, "Cannot find m4 on PATH");
}

// Neither next to the program (nor where /proc/self/exe leads) nor on
// PATH; or named by KUVRA_DICOM_SYNTHESIZER and not there.
TEST_F(Faults, SynthesizerMissing) {
    fs::path bin = path_dir(dir, {"kuvra_dicom_synthesizer"});
    pipeline_program_missing(env(bin), bin,
                             "Cannot find kuvra_dicom_synthesizer in " + bin.string() +
                                 " nor on PATH: install it next to kuvra_ppmtodicom");
    pipeline_program_missing(env(bin, dir / "nowhere"), bin,
                             "Cannot run " + (dir / "nowhere").string() +
                                 ", which KUVRA_DICOM_SYNTHESIZER names.\n");
}

// A synthesizer that reads everything and fails, one that fails without
// reading, one killed by a signal: its status comes back (1 for the signal)
// and the spool files are gone.
TEST_F(Faults, SynthesizerFails) {
    // Killed: the shell of the pipeline reports 128 + 9; the converter may
    // pass that on or make it 1.
    struct Case {
        const char *body;
        int status, or_status;
    } cases[] = {
        {"cat >/dev/null\nexit 7\n", 7, 7},
        {"exit 5\n", 5, 5},
        {"head -c 100 >/dev/null\nkill -KILL $$\n", 1, 137},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        kvsandbox::Options opt;
        opt.input = p6_image(200, 200); // more than a pipe holds
        opt.env = env(path_dir(dir, {}), fake_synthesizer(dir, c.body));
        Outcome o = kvsandbox::run({converter, "-d", "faults_module"}, opt);
        no_signal_no_orphan(o);
        EXPECT_TRUE(o.r.status == c.status || o.r.status == c.or_status) << describe(o.r);
        EXPECT_TRUE(o.tmp_left.empty()) << ::testing::PrintToString(o.tmp_left);
    }
}

// ---- no DICOM from a failed run ------------------------------------------

// A failure anywhere before the synthesizer's end must leave no DICOM: a
// decompressor's status (a bad CRC or a cut trailer shows only there, after
// its last byte), m4 killed, a template that stops after writing.  The
// stand-in synthesizer writes its "DICOM" whatever it got; standard output
// is a pipe (held back) or a regular file opened for appending (cut back).
TEST_F(Faults, FailedRunWritesNoDicom) {
    std::string gz = compress(p6_image(64, 64), "gzip");
    std::string flipped = gz;
    flipped[flipped.size() / 2] ^= 0x5a;
    std::string cut = gz.substr(0, gz.size() - 8);
    fs::path m4_dir = dir / "killed-m4";
    fs::create_directories(m4_dir);
    write_script(m4_dir / "m4", which("m4") + " \"$@\" | head -n 3\nkill -KILL $$\n");
    kvtest::write_file(dir / "home/.kuvra/share/config/dicom/modules/stops",
                       "divert(0)dnl\n(0010,0010) PN A\nm4exit(1)\n");
    fs::path fake = fake_synthesizer(dir, "cat >/dev/null\nprintf DICOM\n");
    std::string path = path_dir(dir, {}).string();
    struct Case {
        const char *what;
        std::string input;
        std::string path_first;
        const char *module;
        const char *message;
    } cases[] = {
        {"flipped gzip", flipped, "", "faults_module", "gunzip failed on it (exit status 1)"},
        {"cut gzip", cut, "", "faults_module", "gunzip failed on it (exit status 1)"},
        {"m4 killed", p6_image(64, 64), m4_dir.string() + ":", "faults_module", ""},
        {"template stops", p6_image(8, 8), "", "stops", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kvsandbox::Options opt;
        opt.input = c.input;
        opt.env = env(fs::path(c.path_first + path), fake);
        Outcome o = kvsandbox::run({converter, "-d", c.module}, opt);
        no_signal_no_orphan(o);
        EXPECT_EQ(o.r.status, 1) << describe(o.r);
        EXPECT_EQ(o.r.out, "");
        EXPECT_TRUE(has(o.r.err, c.message)) << o.r.err;
        EXPECT_TRUE(o.tmp_left.empty()) << ::testing::PrintToString(o.tmp_left);

        fs::path in = dir / "input", out = dir / "out.dcm";
        kvtest::write_file(in, c.input);
        kvtest::write_file(out, "old");
        o = kvsandbox::run(
            {"/bin/sh", "-c",
             converter + " -d " + c.module + " <" + in.string() + " >>" + out.string()},
            opt);
        EXPECT_EQ(o.r.status, 1) << describe(o.r);
        EXPECT_EQ(kvtest::read_file(out), "old");
    }
    // The same run with a whole input writes it.
    kvsandbox::Options opt;
    opt.input = gz;
    opt.env = env(fs::path(path), fake);
    Outcome o = kvsandbox::run({converter, "-d", "faults_module"}, opt);
    EXPECT_EQ(o.r.status, 0) << describe(o.r);
    EXPECT_EQ(o.r.out, "DICOM");
}

// ---- standard output closed early ---------------------------------------

// The reader goes away after 10 bytes; the writer must end, not hang, and
// leave nothing running.
void closed_early(const std::vector<std::string> &env, const std::string &cmd,
                  const std::string &input) {
    SCOPED_TRACE(cmd);
    kvsandbox::Options opt;
    opt.input = input;
    opt.env = env;
    opt.timeout_seconds = 60;
    Outcome o = kvsandbox::run({"/bin/sh", "-c", cmd + " | head -c 10"}, opt);
    EXPECT_EQ(o.r.term_signal, 0);
    EXPECT_NE(o.r.status, kvsandbox::TIMED_OUT) << "hung";
    EXPECT_EQ(o.r.out.size(), 10u);
    EXPECT_TRUE(o.orphans.empty()) << ::testing::PrintToString(o.orphans);
}

TEST(FaultsClosedOutput, Filters) {
    for (const char *p : {"kuvra_pnmto3d32", "kuvra_FST_extract"})
        if (!fs::exists(kvtest::bin(p))) GTEST_SKIP() << p << " is not built";
    closed_early({}, kvtest::bin("kuvra_pnmto3d32"), p6_image(1000, 1000));
    std::string body(4 << 20, 'c');
    std::string capsule = "KUVRA_FST\nFIELD\nFileCapsule\nU8 1\n1\n" + std::to_string(body.size()) +
                          "\n" + std::to_string(body.size()) + "\n" + body;
    closed_early({}, kvtest::bin("kuvra_FST_extract"), capsule);
    // Its descriptor 2 is read first (the pushed-back bytes): here, none.
    closed_early({}, kvtest::bin("kuvra_pipeprefix") + " 2</dev/null", body);
}

TEST_F(Faults, ClosedOutputConverter) {
    const std::string big = p6_image(1000, 1000);
    closed_early({}, converter + " -m", big);
    closed_early({}, converter + " -m", compress(compress(big, "gzip"), "bzip2"));
    // The synthesizer passes m4's output through, so that head has bytes to take.
    closed_early(env(path_dir(dir, {}), fake_synthesizer(dir, "exec cat\n")),
                 converter + " -d faults_module", big);
}

// ---- signals in the read and write loops ---------------------------------

// SIGCHLD arrives many times while the converter reads a trickling pipe and
// its children come and go: the result must equal an undisturbed run.
TEST_F(Faults, SignalsWhileConverting) {
    const std::string img = p6_image(300, 300);
    kvtest::write_file(dir / "in.gz", compress(compress(img, "gzip"), "lzma"));
    // A slow producer; SIGCHLD sent to the converter ($!) for as long as it runs.
    const std::string cmd =
        "(head -c 100 \"$1\"; sleep 0.3; tail -c +101 \"$1\") | \"$2\" -m > \"$3\" & pid=$!\n"
        "while kill -CHLD $pid 2>/dev/null; do :; done\n"
        "wait $pid\n";
    kvsandbox::Options opt;
    Outcome o = kvsandbox::run(
        {"/bin/sh", "-c", cmd, "sh", (dir / "in.gz").string(), converter, (dir / "out").string()},
        opt);
    no_signal_no_orphan(o);
    EXPECT_EQ(o.r.status, 0) << describe(o.r);
    const std::string out = kvtest::read_file(dir / "out");
    EXPECT_TRUE(has(out, "XX_FIELD_RGB_TOTAL_SIZE]],[[270000]]"));
    // One spool file with exactly the pixels: the one the stream names.
    const std::string tag = "undivert([[";
    auto at = out.find(tag);
    ASSERT_NE(at, std::string::npos);
    at += tag.size();
    const std::string spool = out.substr(at, out.find("]]", at) - at);
    if (kvsandbox::have_private_tmp()) {
        ASSERT_EQ(o.tmp_left.size(), 1u) << ::testing::PrintToString(o.tmp_left);
        EXPECT_EQ("/tmp/" + o.tmp_left[0], spool);
    } else {
        EXPECT_EQ(kvtest::read_file(spool), img.substr(img.size() - 270000));
        fs::remove(spool);
    }
}

// The library's own loops, in this process, under a signal without
// SA_RESTART firing every 100 microseconds: the decompressing open must
// deliver every byte of nested streams, and leave no child behind once the
// reaper has run.
volatile sig_atomic_t ticks = 0;
void on_alarm(int) {
    ticks = ticks + 1;
}

TEST(FaultsLibrary, DecompressingOpenUnderSignals) {
    if (!fs::exists(kvtest::bin("kuvra_pipeprefix"))) GTEST_SKIP() << "no kuvra_pipeprefix";
    const std::string img = p6_image(400, 400);
    kvsandbox::ScratchDir dir;
    kvtest::write_file(dir / "plain", img);
    kvtest::write_file(dir / "gz", compress(img, "gzip"));
    kvtest::write_file(dir / "gz.bz2", compress(compress(img, "gzip"), "bzip2"));
    kvtest::write_file(dir / "bz2.lzma.gz",
                       compress(compress(compress(img, "bzip2"), "lzma"), "gzip"));
    pipethrough_catch_SIGCHLD();

    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sa.sa_flags = 0; // no SA_RESTART: blocking calls fail with EINTR
    struct sigaction old {};
    sigaction(SIGALRM, &sa, &old);
    itimerval every{{0, 100}, {0, 100}};
    setitimer(ITIMER_REAL, &every, nullptr);

    for (const char *name : {"plain", "gz", "gz.bz2", "bz2.lzma.gz"}) {
        SCOPED_TRACE(name);
        int fd = -1;
        const int code = getmagic_open_compressed((dir / name).c_str(), &fd);
        EXPECT_EQ(code, KV_MAGIC_PPM);
        ASSERT_GE(fd, 0);
        std::string got;
        char buf[4096];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got.append(buf, size_t(n));
        }
        close(fd);
        EXPECT_EQ(got.size(), img.size());
        EXPECT_TRUE(got == img) << "bytes lost or changed";
    }

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_GT(ticks, 0);
    // The children end once their pipes are closed; the reaper collects them.
    bool zombies = true;
    for (int i = 0; i < 100 && zombies; ++i) {
        zombies = false;
        for (const auto &t : fs::directory_iterator("/proc/self/task")) {
            std::string kids = kvtest::read_file(t.path() / "children");
            if (!kids.empty()) zombies = true;
        }
        if (zombies) usleep(20000);
    }
    EXPECT_FALSE(zombies) << "children of the decompressing open still there";
}

// A decompressor killed mid-stream: the stream ends early, the descriptor
// yields end of file, nothing blocks.
TEST(FaultsLibrary, DecompressorKilled) {
    if (!fs::exists(kvtest::bin("kuvra_pipeprefix"))) GTEST_SKIP() << "no kuvra_pipeprefix";
    kvsandbox::ScratchDir dir;
    const std::string img = p6_image(100, 100);
    kvtest::write_file(dir / "in.gz", compress(img, "gzip"));
    fs::path bin = dying_gunzip(dir);
    const std::string saved = getenv("PATH");
    setenv("PATH", (bin.string() + ":" + saved).c_str(), 1);
    int fd = -1;
    const int code = getmagic_open_compressed((dir / "in.gz").c_str(), &fd);
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(code, KV_MAGIC_PPM);
    ASSERT_GE(fd, 0);
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) got.append(buf, size_t(n));
    close(fd);
    EXPECT_EQ(got, img.substr(0, 3000));
}

} // namespace
