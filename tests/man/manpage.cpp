#include "manpage.h"

#include "kvtest.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <stdexcept>

namespace manpage {

std::size_t Line::indent() const {
    std::size_t n = 0;
    while (n < text.size() && text[n] == ' ')
        n++;
    return n;
}

bool Line::blank() const {
    return indent() == text.size();
}

std::string page_path(const std::string &program) {
    return std::string(KUVRA_MAN1_DIR) + "/" + program + ".1";
}

namespace {

// grotty -c writes bold as "c\bc" and italics as "_\bc".
Line decode(std::string_view raw) {
    Line l;
    for (std::size_t i = 0; i < raw.size(); i++) {
        if (i + 2 < raw.size() && raw[i + 1] == '\b') {
            char shown = raw[i + 2];
            l.attr += (raw[i] == '_' && shown != '_') ? 'I' : 'B';
            l.text += shown;
            i += 2;
            continue;
        }
        l.text += raw[i];
        l.attr += 'R';
    }
    return l;
}

// man(7) on a terminal sets .SS headings 3 columns in, paragraphs 7.
constexpr std::size_t kSubsectionIndent = 4;

bool is_heading(const Line &l) {
    if (l.text.empty() || l.text[0] == ' ') return false;
    for (char c : l.text)
        if (!(std::isupper(static_cast<unsigned char>(c)) || c == ' ')) return false;
    return true;
}

} // namespace

Rendered render(const std::string &path) {
    auto r = kvtest::run({KUVRA_GROFF, "-man", "-Tascii", "-P-c", "-rLL=400n", path});
    Rendered out;
    out.status = r.status;
    out.warnings = r.err;
    std::size_t start = 0;
    while (start < r.out.size()) {
        std::size_t end = r.out.find('\n', start);
        if (end == std::string::npos) end = r.out.size();
        out.lines.push_back(decode(std::string_view(r.out).substr(start, end - start)));
        start = end + 1;
    }
    return out;
}

std::string warnings(const std::string &path, const std::vector<std::string> &extra) {
    std::vector<std::string> argv{KUVRA_GROFF, "-man", "-ww", "-z"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(path);
    auto r = kvtest::run(argv);
    if (r.status != 0) return "groff exited with status " + std::to_string(r.status) + ": " + r.err;
    return r.err;
}

std::vector<Line> Rendered::section(std::string_view heading) const {
    std::vector<Line> body;
    bool in = false;
    for (const auto &l : lines) {
        if (is_heading(l)) {
            if (in) break;
            in = l.text == heading;
            continue;
        }
        if (in) body.push_back(l);
    }
    return body;
}

std::vector<std::string> Rendered::headings() const {
    std::vector<std::string> h;
    for (const auto &l : lines)
        if (is_heading(l)) h.push_back(l.text);
    return h;
}

std::vector<std::string> examples(const std::string &path) {
    // The blocks alone, each followed by a line that marks its end, in a
    // page of their own: rendered as the page renders them, escapes and all.
    static constexpr char end_mark[] = "@@end of example@@";
    std::string doc = ".TH EXAMPLES 1\n.SH EXAMPLES\n";
    bool in_section = false, in_block = false;
    for (const auto &line : kvtest::split_lines(kvtest::read_file(path))) {
        if (line.rfind(".SH", 0) == 0) {
            in_section = squeeze(line.substr(3)) == "EXAMPLES";
        } else if (in_section && line.rfind(".EX", 0) == 0) {
            in_block = true;
            doc += ".EX\n";
        } else if (in_section && line.rfind(".EE", 0) == 0) {
            in_block = false;
            doc += std::string(".EE\n.PP\n") + end_mark + "\n";
        } else if (in_block) {
            doc += line + "\n";
        }
    }
    kvtest::TempDir dir;
    kvtest::write_file(dir / "examples.1", doc);
    std::vector<std::string> blocks;
    std::vector<Line> block;
    for (const auto &l : render((dir / "examples.1").string()).section("EXAMPLES")) {
        if (squeeze(l.text) != end_mark) {
            block.push_back(l);
            continue;
        }
        std::size_t indent = std::string::npos;
        for (const auto &b : block)
            if (!b.blank()) indent = std::min(indent, b.indent());
        std::string text;
        for (const auto &b : block)
            text += (b.blank() ? std::string() : b.text.substr(indent)) + "\n";
        // The paragraph break after the block, and none before it.
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        text.erase(0, text.find_first_not_of('\n'));
        blocks.push_back(text + "\n");
        block.clear();
    }
    return blocks;
}

std::vector<Tag> tags(const std::vector<Line> &all) {
    // Subsection headings stand left of the paragraphs; they are no tags.
    std::vector<Line> section;
    for (const auto &l : all)
        if (l.blank() || l.indent() > kSubsectionIndent) section.push_back(l);
    std::size_t base = std::string::npos;
    for (const auto &l : section)
        if (!l.blank() && l.indent() < base) base = l.indent();
    std::vector<Tag> found;
    for (std::size_t i = 0; i < section.size(); i++) {
        if (section[i].blank() || section[i].indent() != base) continue;
        // A tag is a run of lines at the base indent that ends in an indented
        // body line; a run that ends in a blank line is a plain paragraph.
        std::size_t j = i;
        while (j < section.size() && !section[j].blank() && section[j].indent() == base)
            j++;
        if (j < section.size() && !section[j].blank() && section[j].indent() > base) {
            for (std::size_t k = i; k < j; k++)
                found.push_back({section[k], squeeze(section[j].text)});
        } else {
            // A tag narrower than the indent shares its line with the body.
            const auto &l = section[i];
            auto gap = l.text.find("   ", base);
            if (gap != std::string::npos && gap > base && j == i + 1) {
                Line tag{l.text.substr(0, gap), l.attr.substr(0, gap)};
                found.push_back({tag, squeeze(l.text.substr(gap))});
            }
        }
        i = j - 1;
    }
    return found;
}

std::string squeeze(std::string_view s) {
    std::string out;
    bool space = false;
    for (char c : s) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += c;
    }
    return out;
}

std::string flatten(const std::vector<Line> &lines) {
    std::string all;
    for (const auto &l : lines)
        all += l.text + "\n";
    return squeeze(all);
}

std::string format_key(std::string_view format) {
    static const std::regex conversion(
        R"(%[-+ #0]*[0-9]*(?:\.[0-9]+)?(?:hh|h|ll|l|L|j|z|t)?[diouxXcsp])");
    std::string f(format);
    while (!f.empty() && (f.back() == '\n' || f.back() == ' '))
        f.pop_back();
    return squeeze(std::regex_replace(f, conversion, std::string(1, kPlaceholder)));
}

std::string tag_key(const Line &tag) {
    std::string out;
    for (std::size_t i = 0; i < tag.text.size(); i++) {
        if (tag.attr[i] == 'I') {
            if (out.empty() || out.back() != kPlaceholder) out += kPlaceholder;
            continue;
        }
        // Blanks between italic words belong to one placeholder.
        if (tag.text[i] == ' ' && !out.empty() && out.back() == kPlaceholder &&
            i + 1 < tag.text.size() && tag.attr[i + 1] == 'I')
            continue;
        out += tag.text[i];
    }
    return squeeze(out);
}

bool tag_matches(const Line &tag, std::string_view message) {
    std::string key = tag_key(tag);
    std::string pattern;
    for (char c : key) {
        if (c == kPlaceholder) {
            pattern += "(.+)";
        } else if (std::string_view(R"(\^$.|?*+()[]{})").find(c) != std::string_view::npos) {
            pattern += '\\';
            pattern += c;
        } else {
            pattern += c;
        }
    }
    return std::regex_match(squeeze(message), std::regex(pattern));
}

} // namespace manpage
