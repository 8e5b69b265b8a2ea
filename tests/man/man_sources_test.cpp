// Messages that a program's sources spell out are in the program's table
// and so in its manual page: a message added to a program without a word in
// its page fails here, before any user meets it.
#include "documented.h"
#include "kvtest.h"
#include "manpage.h"

#include <cctype>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>

namespace {

namespace fs = std::filesystem;

// String literals of a C or C++ source, escapes left as written, adjacent
// literals joined, comments and character literals skipped.
std::vector<std::string> string_literals(const std::string &src) {
    std::vector<std::string> out;
    std::string cur;
    bool joining = false; // a literal ended and only blanks followed so far
    for (std::size_t i = 0; i < src.size(); i++) {
        char c = src[i];
        if (c == '/' && i + 1 < src.size() && src[i + 1] == '/') {
            i = src.find('\n', i);
            if (i == std::string::npos) break;
            continue;
        }
        if (c == '/' && i + 1 < src.size() && src[i + 1] == '*') {
            i = src.find("*/", i + 2);
            if (i == std::string::npos) break;
            i++;
            continue;
        }
        if (c == '\'') {
            for (i++; i < src.size() && src[i] != '\''; i++)
                if (src[i] == '\\') i++;
            continue;
        }
        if (c == '"') {
            // Raw strings hold prelude and template text, never messages.
            bool raw = i > 0 && src[i - 1] == 'R';
            if (raw) {
                auto open = src.find('(', i);
                auto delim = std::string(")").append(src, i + 1, open - i - 1).append("\"");
                i = src.find(delim, open) + delim.size() - 1;
                continue;
            }
            if (!joining) cur.clear();
            for (i++; i < src.size() && src[i] != '"'; i++) {
                cur += src[i];
                if (src[i] == '\\' && i + 1 < src.size()) cur += src[++i];
            }
            joining = true;
            continue;
        }
        if (joining && !std::isspace(static_cast<unsigned char>(c))) {
            out.push_back(cur);
            joining = false;
        }
    }
    if (joining) out.push_back(cur);
    return out;
}

// A message is one line of text that starts with a capital letter and ends
// in a line feed; macro text ("define([[...", "]])\n") is not.
bool looks_like_message(const std::string &lit) {
    if (lit.size() < 3 || lit.compare(lit.size() - 2, 2, "\\n") != 0) return false;
    if (lit.find("\\n") != lit.size() - 2) return false;
    if (!std::isupper(static_cast<unsigned char>(lit[0]))) return false;
    return lit.find("[[") == std::string::npos && lit.find("]]") == std::string::npos;
}

std::string unescape(const std::string &lit) {
    std::string s;
    for (std::size_t i = 0; i < lit.size(); i++) {
        if (lit[i] == '\\' && i + 1 < lit.size()) {
            char e = lit[++i];
            s += e == 'n' ? '\n' : e == 't' ? '\t' : e;
        } else {
            s += lit[i];
        }
    }
    return s;
}

struct Folder {
    const char *dir;
    const char *program;
};

class SourceMessages : public ::testing::TestWithParam<Folder> {};

TEST_P(SourceMessages, AreDocumented) {
    fs::path dir = kvtest::source(GetParam().dir);
    if (!fs::exists(dir)) GTEST_SKIP() << GetParam().dir << " is not in this tree";
    const documented::Program *prog = nullptr;
    for (const auto &p : documented::programs())
        if (p.name == GetParam().program) prog = &p;
    ASSERT_NE(prog, nullptr);
    std::set<std::string> known;
    for (auto m : prog->messages)
        known.insert(manpage::format_key(m));
    int messages = 0;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        auto ext = e.path().extension();
        if (ext != ".cpp" && ext != ".h" && ext != ".c") continue;
        for (const auto &lit : string_literals(kvtest::read_file(e.path()))) {
            if (!looks_like_message(lit)) continue;
            messages++;
            EXPECT_TRUE(known.count(manpage::format_key(unescape(lit))))
                << e.path().filename() << " says \"" << lit << "\", which the manual page of "
                << GetParam().program << " does not explain";
        }
    }
    EXPECT_GT(messages, 0) << "no message found in " << dir << ": is the scan broken?";
}

std::string folder_name(const ::testing::TestParamInfo<Folder> &info) {
    return std::string(info.param.program);
}

INSTANTIATE_TEST_SUITE_P(Programs, SourceMessages,
                         ::testing::Values(Folder{"ppmtodicom", "kuvra_ppmtodicom"},
                                           Folder{"pnmto3d32", "kuvra_pnmto3d32"},
                                           Folder{"fstextract", "kuvra_FST_extract"}),
                         folder_name);

TEST(SourceScan, FindsMessagesAndSkipsMacroText) {
    auto lits = string_literals("// \"In a comment\\n\"\n"
                                "log(\"Cannot do %s.\\n\"); x = '\"';\n"
                                "puts(\"Split \"\n     \"message\\n\");\n"
                                "w(\"define([[XX_%s]],[[%s\"); w(\"]])\\n\"); w(R\"(Raw\\n)\");\n");
    std::vector<std::string> messages;
    for (const auto &l : lits)
        if (looks_like_message(l)) messages.push_back(unescape(l));
    EXPECT_EQ(messages, (std::vector<std::string>{"Cannot do %s.\n", "Split message\n"}));
}

} // namespace
