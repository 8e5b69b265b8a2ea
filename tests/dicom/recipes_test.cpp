// The recipes of docs/recipes.md, run as written: a batch with xargs -P,
// and a batch joined to a study and sent with storescu to an Orthanc
// started here on the loopback interface.
#include "dicom_helpers.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <regex>
#include <set>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using dicomtest::attr;

namespace {

namespace fs = std::filesystem;

// The shell blocks of the recipes, in order.
std::vector<std::string> recipe_blocks() {
    std::string md = kvtest::read_file(kvtest::source("docs/recipes.md"));
    std::vector<std::string> blocks;
    static const std::regex block("```sh\n([^`]*)```");
    for (std::sregex_iterator it(md.begin(), md.end(), block), end; it != end; ++it)
        blocks.push_back((*it)[1]);
    return blocks;
}

std::string block_with(const std::string &word) {
    for (const auto &b : recipe_blocks())
        if (b.find(word) != std::string::npos) return b;
    ADD_FAILURE() << "no recipe with " << word;
    return "false";
}

// Files of dir, sorted by name.
std::vector<fs::path> files_of(const fs::path &dir) {
    std::vector<fs::path> f;
    if (fs::exists(dir))
        for (const auto &e : fs::directory_iterator(dir))
            f.push_back(e.path());
    std::sort(f.begin(), f.end());
    return f;
}

// Orthanc with a private configuration and storage, on two free loopback
// ports; killed however the test ends (the destructor, and the kernel's
// parent-death signal should the test process itself die).
class Orthanc {
  public:
    explicit Orthanc(const kvtest::TempDir &dir) {
        int http_sock = -1, dicom_sock = -1;
        http_port_ = free_port(&http_sock);
        dicom_port_ = free_port(&dicom_sock);
        close(http_sock);
        close(dicom_sock);
        std::string db = (dir / "db").string();
        kvtest::write_file(dir / "orthanc.json",
                           "{\"Name\": \"kuvra-test\", \"StorageDirectory\": \"" + db +
                               "\", \"IndexDirectory\": \"" + db +
                               "\", \"HttpPort\": " + std::to_string(http_port_) +
                               ", \"DicomPort\": " + std::to_string(dicom_port_) +
                               ", \"DicomAet\": \"ORTHANC\", \"RemoteAccessAllowed\": false, "
                               "\"AuthenticationEnabled\": false, \"Plugins\": [], "
                               "\"DicomCheckCalledAet\": true, \"DicomAlwaysAllowStore\": "
                               "false, \"DicomCheckModalityHost\": true, \"DicomModalities\": "
                               "{\"kuvra\": [\"KUVRA\", \"127.0.0.1\", 104]}, \"SaveJobs\": "
                               "false}\n");
        std::string config = (dir / "orthanc.json").string();
        std::string log = (dir / "orthanc.log").string();
        pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(1);
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(binary, "Orthanc", config.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        log_ = log;
    }
    ~Orthanc() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Orthanc(const Orthanc &) = delete;
    Orthanc &operator=(const Orthanc &) = delete;

    static constexpr const char *binary = "/usr/sbin/Orthanc";

    // Whether the REST interface answers within the time given.
    bool ready() const {
        for (int i = 0; i < 200; ++i) {
            if (get("/system").status == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    kvtest::RunResult get(const std::string &path) const {
        return kvtest::run(
            {"curl", "-sf", "http://127.0.0.1:" + std::to_string(http_port_) + path});
    }
    int dicom_port() const { return dicom_port_; }
    std::string log() const { return kvtest::read_file(log_); }

  private:
    static int free_port(int *sock) {
        *sock = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(*sock, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            getsockname(*sock, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return 0;
        return ntohs(a.sin_port);
    }
    pid_t pid_ = -1;
    int http_port_ = 0, dicom_port_ = 0;
    std::string log_;
};

// A count from Orthanc's /statistics.
int statistic(const std::string &json, const std::string &name) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + name + "\" *: *([0-9]+)"))) return -1;
    return std::stoi(m[1]);
}

} // namespace

TEST(Recipes, BatchIntoOneNewStudyAndSeries) {
    kvtest::TempDir d;
    kvtest::write_file(d / "a 1.pgm", dicomtest::pnm("P5", 4, 3, 255, dicomtest::pattern(12, 1)));
    std::string grey12 = dicomtest::pattern(24, 2);
    for (size_t i = 0; i < grey12.size(); i += 2)
        grey12[i] &= 0x0f; // no sample above MAXVAL
    kvtest::write_file(d / "b.pgm", dicomtest::pnm("P5", 4, 3, 4095, grey12));
    kvtest::write_file(d / "c.ppm", dicomtest::pnm("P6", 2, 2, 255, dicomtest::pattern(12, 3)));
    kvtest::RunOptions o;
    o.cwd = d.path();
    auto r = kvtest::sh(block_with("-o \"dicom/"), o);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto out = files_of(d / "dicom");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].filename(), "a 1.dcm");
    std::map<std::string, std::string> first;
    std::set<std::string> sops;
    int number = 0;
    for (const auto &f : out) {
        auto dm = dicomtest::dump(f.string());
        EXPECT_EQ(attr(dm, "(0020,0013)"), std::to_string(++number)) << f;
        sops.insert(attr(dm, "(0008,0018)"));
        for (const char *tag : {"(0020,000d)", "(0020,000e)", "(0008,0020)", "(0008,0030)",
                                "(0010,0020)", "(0010,0010)"}) {
            if (first.count(tag) == 0) first[tag] = attr(dm, tag);
            EXPECT_EQ(attr(dm, tag), first[tag]) << f << " " << tag;
        }
        auto errs = dicomtest::dciodvfy_errors(f.string());
        EXPECT_TRUE(errs.empty()) << f << ": " << errs[0];
    }
    EXPECT_EQ(sops.size(), 3u);
    EXPECT_EQ(first["(0010,0020)"], "KV-0001");
    EXPECT_EQ(first["(0020,000d)"].rfind("2.25.", 0), 0u);
    EXPECT_NE(first["(0020,000d)"], first["(0020,000e)"]);
}

TEST(Recipes, BatchJoinedToAStudyIntoOrthanc) {
    if (!fs::exists(Orthanc::binary))
        GTEST_SKIP() << "Orthanc is not installed (Debian package orthanc): PACS recipe not run";
    kvtest::TempDir d;
    // The study already in the PACS: one image of our own making.
    kvtest::write_file(d / "first.pgm", dicomtest::pnm("P5", 4, 4, 255, dicomtest::pattern(16, 4)));
    auto made = kvtest::run({kvtest::bin("kuvra_ppmtodicom"), "-d", "secondary_capture", "-k",
                             "PatientID=KV-7", "-k", "PatientName=Doe^Jane", "-k",
                             "StudyDescription=Photos", "-o", (d / "existing.dcm").string(),
                             (d / "first.pgm").string()});
    ASSERT_EQ(made.status, 0) << made.err;
    for (int i = 1; i <= 3; ++i)
        kvtest::write_file(d / ("shot" + std::to_string(i) + ".ppm"),
                           dicomtest::pnm("P6", 3, 2, 255, dicomtest::pattern(18, 10 + i)));

    kvtest::TempDir pacs_dir;
    Orthanc pacs(pacs_dir);
    ASSERT_TRUE(pacs.ready()) << pacs.log();
    const std::string port = std::to_string(pacs.dicom_port());
    auto first = kvtest::run({"storescu", "-aet", "KUVRA", "-aec", "ORTHANC", "127.0.0.1", port,
                              (d / "existing.dcm").string()});
    ASSERT_EQ(first.status, 0) << first.err << pacs.log();

    kvtest::RunOptions o;
    o.cwd = d.path();
    o.env = {"PACS_HOST=127.0.0.1", "PACS_PORT=" + port};
    auto r = kvtest::sh(block_with("storescu"), o);
    ASSERT_EQ(r.status, 0) << r.err << pacs.log();

    auto stats = pacs.get("/statistics");
    ASSERT_EQ(stats.status, 0);
    EXPECT_EQ(statistic(stats.out, "CountPatients"), 1) << stats.out;
    EXPECT_EQ(statistic(stats.out, "CountStudies"), 1) << stats.out;
    EXPECT_EQ(statistic(stats.out, "CountSeries"), 2) << stats.out;
    EXPECT_EQ(statistic(stats.out, "CountInstances"), 4) << stats.out;
    // The series as intended: the existing image's alone, and the new one
    // with the three shots.
    auto series = pacs.get("/series?expand");
    ASSERT_EQ(series.status, 0);
    kvtest::RunOptions py;
    py.input = series.out;
    auto counts = kvtest::run(
        {"/usr/bin/python3", "-c",
         "import json, sys\n"
         "for s in sorted(json.load(sys.stdin), key=lambda s: len(s['Instances'])):\n"
         "    t = s['MainDicomTags']\n"
         "    print(len(s['Instances']), t.get('SeriesInstanceUID'), t.get('SeriesNumber'),"
         " t.get('SeriesDescription'))\n"},
        py);
    ASSERT_EQ(counts.status, 0) << counts.err;
    auto existing = dicomtest::dump((d / "existing.dcm").string());
    auto sent = files_of(d / "send");
    ASSERT_EQ(sent.size(), 3u);
    auto shot = dicomtest::dump(sent[0].string());
    EXPECT_EQ(counts.out, "1 " + attr(existing, "(0020,000e)") + " 1 None\n3 " +
                              attr(shot, "(0020,000e)") + " 2 Screenshots\n");
    // Patient and study as the PACS has them.
    for (const char *tag :
         {"(0010,0020)", "(0010,0010)", "(0020,000d)", "(0008,0020)", "(0008,0030)", "(0008,1030)"})
        EXPECT_EQ(attr(shot, tag), attr(existing, tag)) << tag;
}
