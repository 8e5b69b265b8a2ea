// kuvra_ppmtodicom -d: the macro stream through the real m4 and a module
// template into a stand-in synthesizer that records what it receives.
#include "progtest.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using convtest::pattern;
using progtest::exists;
using progtest::messages;
using progtest::p5;
using progtest::p6;
using Log = std::vector<std::string>;

namespace {

// Shows each field's spool file name and data between markers.
const char *const test_module = R"(divert(0)dnl
BEGIN FMT=XX_DATA_FORMAT
ifdef([[XX_FIELD_RGB]],[[RGBFILE<defn([[XX_FIELD_RGB_DATA]])>
RGB<XX_FIELD_RGB_DATA>
]])dnl
ifdef([[XX_FIELD_GREY]],[[GREYFILE<defn([[XX_FIELD_GREY_DATA]])>
GREY<XX_FIELD_GREY_DATA>
GREYBS<XX_FIELD_GREY_DATA_BS>
GREYBSDEF<defn([[XX_FIELD_GREY_DATA_BS]])>
]])dnl
ifdef([[XX_FIELD_a]],[[AFILE<defn([[XX_FIELD_a_DATA]])>
A<XX_FIELD_a_DATA>
]])dnl
ifdef([[XX_FIELD_b]],[[BFILE<defn([[XX_FIELD_b_DATA]])>
]])dnl
ifdef([[XX_Note]],[[NOTE<defn([[XX_Note]])>
]])dnl
END
)";

class Export : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(modules);
        fs::create_directories(work);
        fs::create_directories(synthdir);
        fs::copy_file(fs::path(PPMTODICOM_TEST_DATA) / "kuvra_dicom_synthesizer",
                      synthdir / "kuvra_dicom_synthesizer");
        kvtest::write_file(modules / "testmod", test_module);
    }

    kvtest::RunOptions options(const std::string &input, std::vector<std::string> env = {}) {
        kvtest::RunOptions opt;
        opt.input = input;
        opt.cwd = work;
        opt.env = {"PATH=" + std::string(KUVRA_BIN_DIR) + ":" + getenv("PATH"),
                   "KUVRA_DICOM_SYNTHESIZER=" + (synthdir / "kuvra_dicom_synthesizer").string(),
                   "HOME=" + home.string(), "SYNTH_RECORD=" + record.string()};
        opt.env.insert(opt.env.end(), env.begin(), env.end());
        return opt;
    }
    kvtest::RunResult run(const std::vector<std::string> &args, const std::string &input,
                          std::vector<std::string> env = {}) {
        return progtest::convert(args, options(input, env));
    }
    std::string recorded() { return kvtest::read_file(record); }
    // The bytes the template put between "<tag><" and ">" (n of them).
    std::string shown(const std::string &tag, size_t n) {
        std::string rec = recorded();
        size_t at = rec.find("\n" + tag + "<");
        if (at == std::string::npos) return "<not shown>";
        return rec.substr(at + tag.size() + 2, n);
    }
    // Spool files named in the record.
    std::vector<std::string> spooled() {
        static const std::regex re(R"(undivert\(\[\[(/tmp/kuvra_ppmtodicom_[A-Za-z0-9]{6})\]\]\))");
        std::string rec = recorded();
        std::vector<std::string> names;
        for (std::sregex_iterator it(rec.begin(), rec.end(), re), end; it != end; ++it)
            names.push_back((*it)[1]);
        return names;
    }
    void expect_all_removed(size_t count) {
        auto names = spooled();
        EXPECT_EQ(names.size(), count);
        for (const auto &n : names) {
            EXPECT_FALSE(exists(n)) << n;
            EXPECT_FALSE(exists(n + ".bs")) << n;
        }
    }

    // Starts "kuvra_ppmtodicom -d testmod" on a pipe that the test feeds
    // (*feed), its output and messages to /dev/null.
    pid_t start_slow_export(int *feed, std::vector<std::string> env = {}) {
        int in[2];
        if (pipe(in) != 0) return -1;
        auto opt = options("", env);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            close(in[0]);
            close(in[1]);
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            dup2(devnull, 2);
            for (auto &kv : opt.env)
                putenv(kv.data());
            if (chdir(work.c_str()) != 0) _exit(126);
            execl(kvtest::bin("kuvra_ppmtodicom").c_str(), "kuvra_ppmtodicom", "-d", "testmod",
                  nullptr);
            _exit(127);
        }
        close(in[0]);
        *feed = in[1];
        return pid;
    }

    kvtest::TempDir root;
    fs::path home = root / "home";
    fs::path modules = home / ".kuvra/share/config/dicom/modules";
    fs::path work = root / "work";
    fs::path synthdir = root / "bin";
    fs::path record = root / "record";
};

} // namespace

TEST_F(Export, ExitStatusIsTheSynthesizersAndSpoolFilesAreGone) {
    std::string pixels = pattern(4 * 3 * 3, 21);
    for (int status : {0, 3}) {
        auto r = run({"-d", "testmod"}, p6(4, 3, pixels, "#Note:\tn1\n"),
                     {"SYNTH_STATUS=" + std::to_string(status)});
        EXPECT_EQ(r.status, status) << r.err;
        // Standard output is a pipe here: what a failed synthesizer wrote
        // is held back.
        EXPECT_EQ(r.out, status == 0 ? "synthesizer ran\n" : "");
        EXPECT_EQ(messages(r.err), Log{});
        EXPECT_TRUE(recorded().starts_with("BEGIN FMT=P6\n")) << recorded();
        EXPECT_TRUE(shown("RGB", pixels.size()) == pixels);
        EXPECT_EQ(shown("NOTE", 3), "n1>");
        expect_all_removed(1);
    }
}

TEST_F(Export, SignalledSynthesizerGivesStatus1) {
    for (const char *sig : {"KILL", "TERM"}) {
        auto r = run({"-d", "testmod"}, p6(1, 1, "abc"), {"SYNTH_SIGNAL=" + std::string(sig)});
        EXPECT_EQ(r.status, 1) << sig;
        EXPECT_EQ(r.term_signal, 0);
        expect_all_removed(1);
    }
}

TEST_F(Export, GreyImageAndItsByteSwappedCopy) {
    std::string samples = pattern(3 * 2 * 2, 22);
    std::string swapped = samples;
    for (size_t i = 0; i + 1 < swapped.size(); i += 2)
        std::swap(swapped[i], swapped[i + 1]);
    auto r = run({"-d", "testmod"}, progtest::compress("gzip", p5(3, 2, 4095, samples)));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(shown("GREY", samples.size()) == samples);
    EXPECT_TRUE(shown("GREYBS", samples.size()) == swapped);
    expect_all_removed(1);
}

// A converter failure stops the pipeline before m4 reads the template: the
// template never sees the definitions made so far (a first complete field
// would make a whole, wrong image), and neither it nor the synthesizer
// adds messages to the converter's.
TEST_F(Export, FatalStopRunsNoTemplate) {
    std::string a = pattern(100000, 23);
    for (const std::string &input :
         {"KUVRA_FST\n" + convtest::field("a", "U8 1", "1", "100000", a) +
              "FIELD\nb\nU8 1\n1\n3\n3\nxyz\n\n",
          p6(1, 1, "abc") + "\n"}) {
        auto r = run({"-d", "testmod"}, input);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(messages(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(recorded(), "");
    }
}

// The input is recognised before the pipeline starts: its message is the
// only one, with no word from m4 or the synthesizer on a stream that never came.
TEST_F(Export, RejectedInputStartsNoPipeline) {
    auto r = run({"-d", "testmod"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(messages(r.err),
              (Log{"Input file must be P5, P6 or KUVRA_FIELDSET\n", "The input is empty.\n"}));
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(exists(record));
}

TEST_F(Export, LastOfMAndDWins) {
    auto md = run({"-m", "-d", "testmod"}, p6(1, 1, "abc"));
    EXPECT_EQ(md.status, 0);
    EXPECT_EQ(md.out, "synthesizer ran\n");
    expect_all_removed(1);
    fs::remove(record);
    convtest::SpoolCleanup clean;
    auto dm = run({"-d", "testmod", "-m"}, p6(1, 1, "abc"));
    clean.add(dm.out);
    EXPECT_EQ(dm.status, 0);
    EXPECT_TRUE(dm.out.starts_with("divert(-1)dnl\n"));
    EXPECT_FALSE(exists(record));
    // On standard output the files stay: the stream names them.
    ASSERT_EQ(convtest::spool_names(dm.out).size(), 1u);
    EXPECT_EQ(kvtest::read_file(convtest::spool_names(dm.out)[0]), "abc");
}

TEST_F(Export, ModuleLookupFailures) {
    // Readable templates, each reached only if a module name were a path.
    fs::create_directories(modules / "a");
    fs::create_directories(modules / "abs/x");
    for (const fs::path &p : {modules / "a/b", modules / ".hidden", modules / "../x",
                              modules / "abs/x/y", root / "evil"})
        kvtest::write_file(p, test_module);
    const std::string up = "../../../../../../../../../../../.." + (root / "evil").string();
    for (const std::string name :
         {"nosuch", "", "../modules", "a/b", ".hidden", "../x", "/abs/x/y", up.c_str()}) {
        auto r = run({"-d", name}, p6(1, 1, "abc"));
        EXPECT_EQ(r.status, 1) << name;
        // Named, with the modules there are (not the directories, hidden
        // files and the modules' shared parts).
        EXPECT_EQ(messages(r.err), (Log{"Cannot find requested DICOM module.\n",
                                        "No DICOM module \"" + name +
                                            "\" on the search path; the modules there: multiframe, "
                                            "secondary_capture, testmod\n"}))
            << name;
        EXPECT_FALSE(exists(record));
    }
    auto nom4 = progtest::convert({"-d", "testmod"}, [&] {
        auto opt = options(p6(1, 1, "abc"));
        opt.env.push_back("PATH=" + synthdir.string() + ":" + KUVRA_BIN_DIR);
        return opt;
    }());
    EXPECT_EQ(nom4.status, 1);
    EXPECT_EQ(messages(nom4.err),
              (Log{"Cannot open output file/pipe.\n",
                   "Cannot find m4 on PATH: put the directory that holds it on PATH (the build "
                   "tree's bin, or the installation's bin directory).\n"}));
}

TEST_F(Export, UnsearchableModuleDirectory) {
    // Permissions bind root only for execution: root runs the program as
    // an unprivileged user.
    const bool root_user = getuid() == 0;
    if (root_user && !exists("/usr/bin/setpriv")) GTEST_SKIP() << "setpriv missing";
    // The module file can be opened by its name, the directory not listed.
    fs::permissions(root.path(), fs::perms(0755));
    for (auto d : {home, home / ".kuvra", home / ".kuvra/share", home / ".kuvra/share/config",
                   home / ".kuvra/share/config/dicom"})
        fs::permissions(d, fs::perms(0755));
    fs::permissions(modules / "testmod", fs::perms(0644));
    fs::permissions(modules, fs::perms(0111));
    // A copy installed where $(progpath) has no shipped modules, so that the
    // only candidate directory is the unlistable one.
    fs::path inst = root / "inst/bin";
    fs::create_directories(inst);
    fs::permissions(root / "inst", fs::perms(0755));
    fs::permissions(inst, fs::perms(0755));
    fs::copy_file(kvtest::bin("kuvra_ppmtodicom"), inst / "kuvra_ppmtodicom");
    auto opt = options(p6(1, 1, "abc"));
    std::vector<std::string> argv{(inst / "kuvra_ppmtodicom").string(), "-d", "testmod"};
    if (root_user)
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    auto r = kvtest::run(argv, opt);
    fs::permissions(modules, fs::perms(0755));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(messages(r.err), Log{"Cannot find DICOM config module dir. ??\n"});
}

TEST_F(Export, ModuleNameIsOneWordWhateverItHolds) {
    const std::string name = "my mod;touch PWNED $(touch PWNED2) 'q\"";
    kvtest::write_file(modules / name, std::string(test_module));
    auto r = run({"-d", name}, p6(1, 1, "abc"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(recorded().starts_with("BEGIN FMT=P6\n"));
    EXPECT_FALSE(exists(work / "PWNED"));
    EXPECT_FALSE(exists(work / "PWNED2"));
    expect_all_removed(1);
}

TEST_F(Export, M4ReadsTheModuleTheLookupFound) {
    // A file of the module's name in the working directory is not read.
    kvtest::write_file(work / "testmod", "divert(0)dnl\nWRONG\n");
    auto r = run({"-d", "testmod"}, p6(1, 1, "abc"));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(recorded().starts_with("BEGIN FMT=P6\n")) << recorded();
    // A module found below a later search entry than the module directory.
    fs::create_directories(work / "config/dicom/modules");
    kvtest::write_file(work / "config/dicom/modules/later",
                       "divert(0)dnl\nLATER FMT=XX_DATA_FORMAT\n");
    auto later = run({"-d", "later"}, p6(1, 1, "abc"));
    EXPECT_EQ(later.status, 0) << later.err;
    EXPECT_EQ(recorded(), "LATER FMT=P6\n" + progtest::end_mark);
    // The include directory given to m4 is the first module directory.
    kvtest::write_file(modules / "part", "PART FROM HOME\n");
    kvtest::write_file(work / "config/dicom/modules/inc", "divert(0)dnl\ninclude([[part]])dnl\n");
    auto inc = run({"-d", "inc"}, p6(1, 1, "abc"));
    EXPECT_EQ(inc.status, 0) << inc.err;
    EXPECT_EQ(recorded(), "PART FROM HOME\n" + progtest::end_mark);
}

TEST_F(Export, HeaderThatTriesSyscmdDoesNotRunIt) {
    const std::string attack = "x]])syscmd([[touch MARK]])dnl";
    // Control: written unchecked, the value would run the command in m4.
    {
        kvtest::RunOptions opt;
        opt.cwd = work;
        opt.input = std::string(kv_m4_prelude_text) + "define([[XX_Note]],[[" + attack + "]])\n";
        kvtest::run({"m4"}, opt);
        ASSERT_TRUE(exists(work / "MARK"));
        fs::remove(work / "MARK");
    }
    for (const std::string &header :
         {"#Note:\t" + attack + "\n", "#Note:\tx]\n#+Note:\t" + attack.substr(1) + "\n",
          "#Dicom/(10,10):\t" + attack + "\n"}) {
        auto r = run({"-d", "testmod"}, p6(1, 1, "abc", header));
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(exists(work / "MARK")) << header;
        ASSERT_EQ(messages(r.err).size(), 1u);
        EXPECT_TRUE(
            messages(r.err)[0].starts_with("Header comment with unbalanced m4 quotes dropped: "));
        EXPECT_EQ(recorded().find("NOTE<"), std::string::npos);
    }
    // Nested quotes stay a value.
    auto ok = run({"-d", "testmod"}, p6(1, 1, "abc", "#Note:\t[[syscmd([[touch MARK]])]]\n"));
    EXPECT_EQ(ok.status, 0);
    EXPECT_FALSE(exists(work / "MARK"));
    EXPECT_EQ(shown("NOTE", 27), "[[syscmd([[touch MARK]])]]>");
}

TEST_F(Export, ItemTypeThatTriesSyscmdRunsNothingInATemplateThatChecksIt) {
    const std::string module =
        "divert(-1)\nXX_REQUIRE_VALUE([[XX_FIELD_Volume_ITEM_TYPE]],[[U8]])\n"
        "divert(0)dnl\nTYPE OK\n";
    kvtest::write_file(modules / "mytype", module);
    auto input = [](const std::string &type) {
        return "KUVRA_FST\n" + convtest::field("Volume", type + " 1", "2", "2 2", "abcd");
    };
    auto r = run({"-d", "mytype"}, input("syscmd(touch PWNED)U8"));
    EXPECT_FALSE(exists(work / "PWNED"));
    EXPECT_EQ(
        messages(r.err),
        (Log{"Cannot parse type descriptor\n", "Non-field keyword in fieldset file: 2\n",
             "Non-field keyword in fieldset file: 2 2\n", "Non-field keyword in fieldset file: 4\n",
             "Non-field keyword in fieldset file: abcd\n"}));
    EXPECT_EQ(recorded(), "");
    // The template's check alone holds too, on a stream that carries such a
    // type: the prelude compares the definition, it does not expand it.
    kvtest::RunOptions opt;
    opt.cwd = work;
    opt.input = std::string(kv_m4_prelude_text) +
                "define([[XX_FIELD_Volume_ITEM_TYPE]],[[syscmd(touch PWNED)U8]])\n";
    auto m4 = kvtest::run({"m4", "-", (modules / "mytype").string()}, opt);
    EXPECT_EQ(m4.status, 1);
    EXPECT_FALSE(exists(work / "PWNED"));
    auto good = run({"-d", "mytype"}, input("U8"));
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_TRUE(recorded().starts_with("TYPE OK\n")) << recorded();
}

namespace {

// Name of a spool file that pid has open, other than skip; "" after 10 s.
std::string open_spool_file(pid_t pid, const std::string &skip) {
    for (int tries = 0; tries < 1000; tries++) {
        std::error_code ec;
        for (const auto &e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
            std::string target = fs::read_symlink(e.path(), ec).string();
            if (target.rfind("/tmp/kuvra_ppmtodicom_", 0) == 0 && target != skip) return target;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "";
}

} // namespace

TEST_F(Export, TerminationSignalRemovesSpoolFiles) {
    for (int sig : {SIGTERM, SIGQUIT, SIGUSR1, SIGALRM, SIGHUP}) {
        int feed = -1;
        pid_t pid = start_slow_export(&feed);
        ASSERT_GT(pid, 0);
        auto send = [&](const std::string &s) {
            ASSERT_EQ(write(feed, s.data(), s.size()), ssize_t(s.size()));
        };
        // The first field complete, the second one being spooled.
        send("KUVRA_FST\nFIELD\na\nU8 1\n1\n10\n10\nabc");
        std::string first = open_spool_file(pid, "");
        ASSERT_NE(first, "");
        send("defghij\nENDFIELD\nFIELD\nb\nU8 1\n1\n10\n10\nxy");
        std::string second = open_spool_file(pid, first);
        ASSERT_NE(second, "");
        EXPECT_TRUE(exists(first));
        kill(pid, sig);
        int st = 0;
        waitpid(pid, &st, 0);
        close(feed);
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == sig) << sig;
        EXPECT_FALSE(exists(first));
        EXPECT_FALSE(exists(second));
    }
}

// A neighbour on /tmp who reads the spool file's name while the data arrive
// puts a link to his victim at the name plus ".bs", where the byte-swapped
// copy used to be written.  The copy goes into a file that the converter
// made itself, under a name of its own; the victim stays as it was, the
// template gets the swapped samples, and no copy is left, whether the
// export succeeds or its synthesizer fails.
TEST_F(Export, SwappedCopyIsNotWrittenThroughALinkPlantedForIt) {
    const std::string samples = pattern(4 * 3 * 2, 31);
    std::string swapped = samples;
    for (size_t i = 0; i + 1 < swapped.size(); i += 2)
        std::swap(swapped[i], swapped[i + 1]);
    const fs::path victim = root / "victim";
    for (int status : {0, 3}) {
        kvtest::write_file(victim, "precious\n");
        int feed = -1;
        pid_t pid = start_slow_export(&feed, {"SYNTH_STATUS=" + std::to_string(status)});
        ASSERT_GT(pid, 0);
        const std::string head = "P5\n4 3\n4095\n";
        ASSERT_EQ(write(feed, head.data(), head.size()), ssize_t(head.size()));
        ASSERT_EQ(write(feed, samples.data(), 5), 5);
        // The export waits for the rest of the samples: the link goes in now.
        const std::string spool = open_spool_file(pid, "");
        ASSERT_NE(spool, "");
        const std::string planted = spool + ".bs";
        ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0) << strerror(errno);
        ASSERT_EQ(write(feed, samples.data() + 5, samples.size() - 5), ssize_t(samples.size() - 5));
        close(feed);
        int st = 0;
        waitpid(pid, &st, 0);
        std::error_code ec;
        const bool link_stayed = fs::is_symlink(planted, ec);
        fs::remove(planted, ec);

        EXPECT_EQ(kvtest::read_file(victim), "precious\n");
        EXPECT_TRUE(link_stayed);
        ASSERT_TRUE(WIFEXITED(st));
        EXPECT_EQ(WEXITSTATUS(st), status);
        EXPECT_TRUE(shown("GREYBS", swapped.size()) == swapped);
        // The copy's file, from the macro's definition.
        static const std::regex of(R"(GREYBSDEF<syscmd\(\[\[dd if=[^ ]+ of=([^ ]+) )");
        std::smatch m;
        const std::string rec = recorded();
        ASSERT_TRUE(std::regex_search(rec, m, of)) << rec;
        EXPECT_NE(m[1].str(), planted);
        EXPECT_FALSE(exists(m[1].str()));
        EXPECT_FALSE(exists(spool));
    }
}
