// The manual pages render cleanly and explain every option, environment
// variable and message of their program.
#include "documented.h"
#include "manpage.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <set>

namespace {

using documented::Program;

class ManPage : public ::testing::TestWithParam<Program> {
  protected:
    void SetUp() override {
        path_ = manpage::page_path(std::string(GetParam().name));
        ASSERT_TRUE(std::filesystem::exists(path_)) << path_;
        page_ = manpage::render(path_);
        ASSERT_EQ(page_.status, 0) << page_.warnings;
    }
    std::string path_;
    manpage::Rendered page_;
};

TEST_P(ManPage, RendersWithoutWarnings) {
    EXPECT_EQ(manpage::warnings(path_), "");
    // As man(1) shows it on an 80-column terminal.
    EXPECT_EQ(manpage::warnings(path_, {"-Tutf8", "-rLL=78n"}), "");
    EXPECT_EQ(page_.warnings, "");
}

TEST_P(ManPage, HasTheUsualSections) {
    auto have = page_.headings();
    for (const char *h : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "ENVIRONMENT", "FILES",
                          "EXIT STATUS", "DIAGNOSTICS", "EXAMPLES", "SEE ALSO"})
        EXPECT_NE(std::find(have.begin(), have.end(), h), have.end()) << "no section " << h;
    for (const char *h :
         {"OPTIONS", "ENVIRONMENT", "FILES", "EXIT STATUS", "DIAGNOSTICS", "EXAMPLES"})
        EXPECT_FALSE(manpage::flatten(page_.section(h)).empty()) << "empty section " << h;
}

TEST_P(ManPage, NameLineAndTitleNameTheProgram) {
    std::string name(GetParam().name);
    // whatis and apropos read "name - description" from the NAME section.
    auto name_section = manpage::flatten(page_.section("NAME"));
    EXPECT_EQ(name_section.rfind(name + " - ", 0), 0u) << name_section;
    EXPECT_GT(name_section.size(), name.size() + 3);
    std::string title = name;
    std::transform(title.begin(), title.end(), title.begin(), ::toupper);
    ASSERT_FALSE(page_.lines.empty());
    EXPECT_EQ(page_.lines.front().text.rfind(title + "(1)", 0), 0u) << page_.lines.front().text;
    auto synopsis = manpage::flatten(page_.section("SYNOPSIS"));
    EXPECT_EQ(synopsis.rfind(name, 0), 0u) << synopsis;
}

TEST_P(ManPage, EveryOptionIsInTheSynopsisAndExplained) {
    auto synopsis = manpage::flatten(page_.section("SYNOPSIS"));
    auto options = manpage::tags(page_.section("OPTIONS"));
    for (auto opt : GetParam().options) {
        std::string o(opt);
        EXPECT_TRUE(std::regex_search(synopsis, std::regex("(^|[ [|])" + o + "([\\] |]|$)")))
            << o << " not in synopsis: " << synopsis;
        auto it = std::find_if(options.begin(), options.end(), [&](const manpage::Tag &t) {
            auto text = manpage::squeeze(t.line.text);
            return text == o || text.rfind(o + " ", 0) == 0 || text.rfind(o + ",", 0) == 0;
        });
        if (it == options.end()) {
            ADD_FAILURE() << o << " has no entry under OPTIONS";
            continue;
        }
        EXPECT_FALSE(it->body.empty()) << o;
        EXPECT_EQ(it->line.attr[it->line.indent()], 'B') << o << " is not set in bold";
    }
}

TEST_P(ManPage, EnvironmentNamesTheVariables) {
    auto env = manpage::tags(page_.section("ENVIRONMENT"));
    for (const char *var : {"KUVRA_DEBUG_FILE", "KUVRA_DEBUG_FLAGS", "PATH", "HOME"}) {
        std::regex word(std::string("(^|[ ,])") + var + "($|[ ,])");
        auto it = std::find_if(env.begin(), env.end(), [&](const manpage::Tag &t) {
            return std::regex_search(manpage::squeeze(t.line.text), word);
        });
        EXPECT_NE(it, env.end()) << var << " has no entry under ENVIRONMENT";
    }
}

TEST_P(ManPage, EveryMessageIsExplained) {
    auto diag = manpage::tags(page_.section("DIAGNOSTICS"));
    for (auto msg : GetParam().messages) {
        auto key = manpage::format_key(msg);
        auto it = std::find_if(diag.begin(), diag.end(), [&](const manpage::Tag &t) {
            return manpage::tag_key(t.line) == key;
        });
        if (it == diag.end()) {
            ADD_FAILURE() << "not under DIAGNOSTICS, with its placeholders in italics: " << msg;
            continue;
        }
        EXPECT_FALSE(it->body.empty()) << msg;
    }
}

TEST_P(ManPage, DiagnosticsListOnlyMessagesTheProgramHas) {
    // A message that was renamed or mended away must not linger in the page.
    std::set<std::string> known;
    for (auto msg : GetParam().messages)
        known.insert(manpage::format_key(msg));
    for (const auto &t : manpage::tags(page_.section("DIAGNOSTICS")))
        EXPECT_TRUE(known.count(manpage::tag_key(t.line)))
            << "documented but not a message of " << GetParam().name << ": " << t.line.text;
}

TEST_P(ManPage, ReferencedKuvraPagesExist) {
    static const std::regex ref(R"((kuvra_[A-Za-z0-9_]+)\(1\))");
    std::string all;
    for (const auto &l : page_.lines)
        all += l.text + "\n";
    std::set<std::string> targets;
    for (std::sregex_iterator it(all.begin(), all.end(), ref), end; it != end; ++it)
        targets.insert((*it)[1]);
    for (const auto &target : targets) {
        EXPECT_TRUE(std::filesystem::exists(manpage::page_path(target)))
            << GetParam().name << " refers to " << target << "(1), which has no page";
    }
}

std::string name_of(const ::testing::TestParamInfo<Program> &info) {
    return std::string(info.param.name);
}

INSTANTIATE_TEST_SUITE_P(Pages, ManPage, ::testing::ValuesIn(documented::programs()), name_of);

// The programs that look up module templates spell out where.
TEST(ManPages, FilesGiveTheModuleSearchPath) {
    int pages = 0;
    for (const auto &prog : documented::programs()) {
        if (!prog.module_search_path) continue;
        pages++;
        SCOPED_TRACE(std::string(prog.name));
        auto page = manpage::render(manpage::page_path(std::string(prog.name)));
        auto files = page.section("FILES");
        const std::string path =
            "$(progpath)/share/kuvra/override|$(HOME)/.kuvra/share|$(progpath)/share/kuvra|.";
        auto line = std::find_if(files.begin(), files.end(), [&](const manpage::Line &l) {
            return manpage::squeeze(l.text) == path;
        });
        EXPECT_NE(line, files.end()) << "the search path does not stand on a line of its own";
        // Each entry, in the search order, as the place where a module is found.
        auto t = manpage::tags(files);
        std::vector<std::string> dirs;
        for (const auto &tag : t) {
            auto text = manpage::squeeze(tag.line.text);
            if (text.find("config/dicom/modules/") != std::string::npos)
                dirs.push_back(text.substr(0, text.find("config/dicom/modules/")));
        }
        EXPECT_EQ(dirs, (std::vector<std::string>{"$(progpath)/share/kuvra/override/",
                                                  "$(HOME)/.kuvra/share/",
                                                  "$(progpath)/share/kuvra/", "./"}));
    }
    EXPECT_GE(pages, 1);
}

// Every page in the tree is one of the programs above: a page added for a
// new program must bring that program's options and messages along.
TEST(ManPages, EveryPageBelongsToAKnownProgram) {
    std::set<std::string> names;
    for (const auto &p : documented::programs())
        names.insert(std::string(p.name));
    int pages = 0;
    for (const auto &e : std::filesystem::directory_iterator(KUVRA_MAN1_DIR)) {
        if (e.path().extension() != ".1") continue;
        pages++;
        EXPECT_TRUE(names.count(e.path().stem().string())) << e.path();
    }
    EXPECT_EQ(pages, int(names.size()));
}

} // namespace
