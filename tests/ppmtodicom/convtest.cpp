#include "convtest.h"

#include <cstdio>
#include <regex>
#include <unistd.h>

namespace convtest {

std::vector<std::string> logged() {
    std::vector<std::string> texts;
    if (!debugentry_inmem_list) return texts;
    for (int32_t i = 0; i < debugentry_inmem_index; i++)
        if (debugentry_inmem_list[i].severity) texts.emplace_back(debugentry_inmem_list[i].text);
    return texts;
}

std::vector<std::string> spool_names(const std::string &stream) {
    static const std::regex re(
        R"(define\(\[\[XX_FIELD_[A-Za-z_]*_DATA\]\],\[\[undivert\(\[\[([^\]]*)\]\]\)\]\]\))");
    std::vector<std::string> names;
    for (std::sregex_iterator it(stream.begin(), stream.end(), re), end; it != end; ++it)
        names.push_back((*it)[1]);
    return names;
}

std::vector<std::string> swap_names(const std::string &stream) {
    static const std::regex re(
        R"(define\(\[\[XX_FIELD_[A-Za-z_]*_DATA_BS\]\],\[\[syscmd\(\[\[dd if=[^ ]* of=([^ ]*) )");
    std::vector<std::string> names;
    for (std::sregex_iterator it(stream.begin(), stream.end(), re), end; it != end; ++it)
        names.push_back((*it)[1]);
    return names;
}

std::string data_bs_definition(const std::string &name, const std::string &data,
                               const std::string &swap) {
    return "define([[XX_FIELD_" + name + "_DATA_BS]],[[syscmd([[dd if=" + data + " of=" + swap +
           " conv=swab,notrunc,nocreat oflag=nofollow status=none]])ifelse(sysval,0,[[undivert([[" +
           swap + "]])]],[[m4exit(1)]])]])\n";
}

std::string macro(const std::string &stream, const std::string &name) {
    std::string head = "define([[" + name + "]],[[";
    size_t pos = 0;
    while ((pos = stream.find(head, pos)) != std::string::npos) {
        if (pos == 0 || stream[pos - 1] == '\n') {
            size_t start = pos + head.size();
            size_t end = stream.find("]])\n", start);
            return stream.substr(start, end - start);
        }
        pos++;
    }
    if (stream.find("define([[" + name + "]])\n") != std::string::npos) return "";
    return "<undefined>";
}

bool has_line(const std::string &stream, const std::string &line) {
    size_t pos = 0;
    while ((pos = stream.find(line, pos)) != std::string::npos) {
        bool starts = pos == 0 || stream[pos - 1] == '\n';
        bool ends = pos + line.size() == stream.size() || stream[pos + line.size()] == '\n';
        if (starts && ends) return true;
        pos++;
    }
    return false;
}

void CoreTest::SetUp() {
    debug_exit();
    KVDebugConfig.logfile = nullptr;
    debug_init();
}

void CoreTest::TearDown() {
    tdroot_remove_all();
    debug_exit();
    KVDebugConfig.logfile = nullptr;
}

Conversion CoreTest::convert(const std::string &input, int magic) {
    Conversion c;
    // Each conversion's messages on their own.
    debug_exit();
    debug_init();
    FILE *in = tmpfile();
    fwrite(input.data(), 1, input.size(), in);
    rewind(in);
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    c.status = convert_stream(in, out, magic);
    fclose(out);
    fclose(in);
    c.out.assign(buf, len);
    free(buf);
    c.log = logged();
    return c;
}

SpoolCleanup::~SpoolCleanup() {
    for (const auto &n : names_)
        unlink(n.c_str());
}

void SpoolCleanup::add(const std::string &stream) {
    for (auto &n : spool_names(stream))
        names_.push_back(n);
    for (auto &n : swap_names(stream))
        names_.push_back(n);
}

std::string field(const std::string &name, const std::string &type, const std::string &dims,
                  const std::string &sizes, const std::string &data) {
    return "FIELD\n" + name + "\n" + type + "\n" + dims + "\n" + sizes + "\n" +
           std::to_string(data.size()) + "\n" + data + "\nENDFIELD\n";
}

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = char(x >> 16);
    }
    return s;
}

} // namespace convtest
