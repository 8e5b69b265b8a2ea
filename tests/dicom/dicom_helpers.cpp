#include "dicom_helpers.h"

#include <fcntl.h>
#include <prelude.h>
#include <sstream>
#include <unistd.h>

namespace dicomtest {

std::string prelude() {
    return kvtest::expected_prelude();
}

MacroStream::MacroStream(const std::string &format) {
    text_ = prelude() + "define([[XX_CURRENT_DATE]],[[20240229]])\n" +
            "define([[XX_CURRENT_TIME]],[[235958]])\n" + "define([[XX_DATA_FORMAT]],[[" + format +
            "]])\n";
}

MacroStream::~MacroStream() {
    for (const auto &f : spool_files)
        unlink(f.c_str());
    for (const auto &f : swap_files)
        unlink(f.c_str());
}

MacroStream &MacroStream::header(const std::string &name, const std::string &value) {
    text_ += "define([[XX_" + name + "]],[[" + value + "]])\n";
    return *this;
}

MacroStream &MacroStream::raw(const std::string &t) {
    text_ += t;
    return *this;
}

std::string MacroStream::spool(const kvtest::TempDir &, const std::string &data) {
    // The templates accept only the converter's own spool names.
    char name[] = "/tmp/kuvra_ppmtodicom_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    kvtest::write_file(name, data);
    spool_files.push_back(name);
    return name;
}

static std::string def(const std::string &name, const std::string &value) {
    return "define([[XX_FIELD_" + name + "]],[[" + value + "]])\n";
}

std::string MacroStream::data_defs(const std::string &f, const std::string &file) {
    char swap[] = "/tmp/kuvra_ppmtodicom_XXXXXX.bs";
    int fd = mkstemps(swap, 3);
    if (fd < 0) throw std::runtime_error("mkstemps failed");
    close(fd);
    swap_files.push_back(swap);
    return def(f + "_DATA", "undivert([[" + file + "]])") +
           def(f + "_DATA_BS", "syscmd([[dd if=" + file + " of=" + swap +
                                   " conv=swab,notrunc,nocreat oflag=nofollow "
                                   "status=none]])ifelse(sysval,0,[[undivert([[" +
                                   swap + "]])]],[[m4exit(1)]])");
}

MacroStream &MacroStream::rgb(const kvtest::TempDir &dir, int w, int h, const std::string &pixels) {
    text_ += "define([[XX_FIELD_RGB]])\n" + def("RGB_ITEM_TYPE", "R8G8B8") +
             def("RGB_ITEM_SIZE", "3") + def("RGB_DIMENSIONS", "2") +
             def("RGB_SIZEX", std::to_string(w)) + def("RGB_SIZE0", std::to_string(w)) +
             def("RGB_SIZEY", std::to_string(h)) + def("RGB_SIZE1", std::to_string(h)) +
             def("RGB_TOTAL_SIZE", std::to_string(w * h * 3));
    text_ += def("RGB_DATA", "undivert([[" + spool(dir, pixels) + "]])");
    return *this;
}

MacroStream &MacroStream::grey(const kvtest::TempDir &dir, int w, int h, int maxval,
                               const std::string &pixels) {
    int size = maxval > 255 ? 2 : 1;
    text_ += "define([[XX_FIELD_GREY]])\n" + def("GREY_ITEM_TYPE", size == 2 ? "U16" : "U8") +
             def("GREY_ITEM_SIZE", std::to_string(size)) + def("GREY_DIMENSIONS", "2") +
             def("GREY_SIZEX", std::to_string(w)) + def("GREY_SIZE0", std::to_string(w)) +
             def("GREY_SIZEY", std::to_string(h)) + def("GREY_SIZE1", std::to_string(h)) +
             def("GREY_TOTAL_SIZE", std::to_string(w * h * size)) +
             def("GREY_MAXVAL", std::to_string(maxval));
    text_ += data_defs("GREY", spool(dir, pixels));
    return *this;
}

MacroStream &MacroStream::field(const kvtest::TempDir &dir, const std::string &name,
                                const std::string &type, int item_size,
                                const std::vector<int> &sizes, const std::string &data) {
    static const char letters[] = "XYZABCDEFGHIJKLMNOPQRSTUVW";
    text_ += "define([[XX_FIELD_" + name + "]])\n" + def(name + "_ITEM_TYPE", type) +
             def(name + "_ITEM_SIZE", std::to_string(item_size)) +
             def(name + "_DIMENSIONS", std::to_string(sizes.size()));
    for (size_t i = 0; i < sizes.size(); ++i)
        text_ += def(name + "_SIZE" + std::to_string(i + 1), std::to_string(sizes[i])) +
                 def(name + "_SIZE" + std::string(1, letters[i]), std::to_string(sizes[i]));
    text_ += def(name + "_TOTAL_SIZE", std::to_string(data.size()));
    text_ += data_defs(name, spool(dir, data));
    return *this;
}

kvtest::RunResult run_module(const std::string &module, const std::string &stream,
                             const std::string &out_path) {
    kvtest::RunOptions o;
    o.input = stream;
    return kvtest::run({"/bin/sh", "-c", "m4 -I\"$1\" - \"$2\" | kuvra_dicom_synthesizer > \"$3\"",
                        "sh", KUVRA_MODULE_DIR, module, out_path},
                       o);
}

std::string dump(const std::string &path) {
    return kvtest::run({"dcmdump", "+L", "-M", path}).out;
}

std::string attr(const std::string &d, const std::string &tag) {
    std::istringstream in(d);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, tag.size(), tag) != 0) continue;
        std::string v = line.substr(tag.size() + 4); // tag, blank, VR, blank
        // dcmdump pads the value column; the last " #" starts the length comment.
        size_t hash = v.rfind(" #");
        v = v.substr(0, hash == std::string::npos ? v.size() : hash);
        while (!v.empty() && v.back() == ' ')
            v.pop_back();
        if (v == "(no value available)") return "";
        if (v.size() >= 2 && v.front() == '[' && v.back() == ']') return v.substr(1, v.size() - 2);
        if (!v.empty() && v.front() == '=') return v.substr(1);
        return v;
    }
    return "<absent>";
}

std::vector<std::string> dciodvfy_errors(const std::string &path) {
    auto r = kvtest::run({"dciodvfy", path});
    std::vector<std::string> errs;
    std::istringstream in(r.err + r.out);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Error", 0) == 0) errs.push_back(line);
    return errs;
}

std::string gdcm_pixels(const std::string &path) {
    // Not next to the input: that may be a read-only directory of test data.
    kvtest::TempDir d;
    std::string out = (d / "pixels.raw").string();
    auto r = kvtest::run({"gdcmraw", "-P", "-i", path, "-o", out});
    if (r.status != 0) return "<gdcmraw failed: " + r.err + ">";
    return kvtest::read_file(out);
}

kvtest::RunResult to_pnm(const std::string &path) {
    kvtest::RunOptions o;
    o.stdin_file = path;
    return kvtest::run({kvtest::bin("kuvra_dicom_to_P5")}, o);
}

std::string pnm(const std::string &magic, int w, int h, int maxval, const std::string &pixels) {
    return magic + "\n" + std::to_string(w) + " " + std::to_string(h) + "\n" +
           std::to_string(maxval) + "\n" + pixels;
}

std::string pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x & 0xFF);
    }
    return s;
}

} // namespace dicomtest
