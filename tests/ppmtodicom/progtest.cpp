#include "progtest.h"

#include <regex>
#include <sstream>
#include <sys/stat.h>

namespace progtest {

std::vector<std::string> messages(const std::string &err) {
    static const std::regex prefix(R"(^[0-9]+\.[0-9]{6}: 3 00000008:)");
    std::vector<std::string> texts;
    std::istringstream s(err);
    std::string line;
    while (std::getline(s, line)) {
        std::smatch m;
        if (std::regex_search(line, m, prefix))
            texts.push_back(line.substr(size_t(m.length(0))) + "\n");
    }
    return texts;
}

kvtest::RunResult convert(const std::vector<std::string> &args, const kvtest::RunOptions &opt) {
    std::vector<std::string> argv{kvtest::bin("kuvra_ppmtodicom")};
    argv.insert(argv.end(), args.begin(), args.end());
    return kvtest::run(argv, opt);
}

kvtest::RunResult convert(const std::vector<std::string> &args, const std::string &input) {
    kvtest::RunOptions opt;
    opt.input = input;
    return convert(args, opt);
}

std::string compress(const std::string &program, const std::string &bytes) {
    kvtest::RunOptions opt;
    opt.input = bytes;
    auto r = kvtest::run({program, "-c"}, opt);
    EXPECT_EQ(r.status, 0) << program;
    return r.out;
}

std::string p6(int w, int h, const std::string &pixels, const std::string &header) {
    return "P6\n" + header + std::to_string(w) + " " + std::to_string(h) + "\n255\n" + pixels;
}

std::string p5(int w, int h, int maxval, const std::string &pixels, const std::string &header) {
    return "P5\n" + header + std::to_string(w) + " " + std::to_string(h) + "\n" +
           std::to_string(maxval) + "\n" + pixels;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

} // namespace progtest
