// -k arguments and the attributes of a reference file, as header comments.
#include "keys.h"
#include "ppmtodicom.h"

#include <kuvra/debuglog.h>
#include <kuvra/fileutil.h>
#include <kuvra/internal/children.h>
#include <kuvra/internal/dicomdict.h>
#include <kuvra/pipes.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kuvra_convert {

namespace {

// Keys the shipped templates read that are no DICOM attribute.
constexpr std::string_view template_keys[] = {"ExportField", "ByteOrder"};

// fmt takes the texts a and b as "%s".
void log_error(const char *fmt, std::string_view a, std::string_view b = {}) {
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, fmt, std::string(a).c_str(),
                 std::string(b).c_str());
}

bool hex16(std::string_view s, uint16_t *out) {
    if (s.size() != 4) return false;
    unsigned v = 0;
    for (char c : s) {
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0) return false;
        v = v * 16 + unsigned(d);
    }
    *out = uint16_t(v);
    return true;
}

// "(gggg,eeee)" or "gggg,eeee", four hexadecimal digits each.
bool parse_tag(std::string_view key, uint16_t *group, uint16_t *element) {
    if (key.size() == 11 && key.front() == '(' && key.back() == ')') key = key.substr(1, 9);
    return key.size() == 9 && key[4] == ',' && hex16(key.substr(0, 4), group) &&
           hex16(key.substr(5, 4), element);
}

// The value in header-comment lines of the size the line reader takes.
void append_comment(std::string &lines, const std::string &key, std::string_view value) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&buf, &len);
    if (!mem) abort(); // out of memory before anything ran
    std::string v(value);
    write_comment_maxlen(mem, KV_LINE_BUFSIZE / 2, "#", key.c_str(), v.c_str());
    fclose(mem);
    lines.append(buf, len);
    free(buf);
}

} // namespace

std::string_view text_vr(std::string_view vr) {
    static constexpr std::string_view text_vrs[] = {
        "AE", "AS", "AT", "CS", "DA", "DS", "DT", "FD", "FL", "IS", "LO", "LT", "PN",
        "SH", "SL", "SS", "ST", "SV", "TM", "UC", "UI", "UL", "UR", "US", "UT", "UV",
    };
    if (vr == "xs") return "US";
    if (vr == "up") return "UL";
    for (std::string_view t : text_vrs)
        if (t == vr) return t;
    return {};
}

bool is_template_key(std::string_view key) {
    for (std::string_view k : template_keys)
        if (k == key) return true;
    return false;
}

bool key_option_comment(std::string_view arg, std::string &lines) {
    size_t eq = arg.find('=');
    if (eq == std::string_view::npos || eq == 0) {
        log_error("Option -k takes KEY=VALUE, not %s\n", arg);
        return false;
    }
    std::string_view key = arg.substr(0, eq), value = arg.substr(eq + 1);
    if (value.find_first_of("\r\n") != std::string_view::npos) {
        log_error("Option -k %s: the value holds a line break\n", key);
        return false;
    }
    // "(gggg,eeee)/VR": a tag with the VR its value is given in, for a
    // private attribute, which the data dictionary does not know.
    std::string_view vr;
    uint16_t group = 0, element = 0;
    if (size_t slash = key.rfind('/'); slash != std::string_view::npos && slash + 3 == key.size() &&
                                       parse_tag(key.substr(0, slash), &group, &element)) {
        vr = key.substr(slash + 1);
        if (text_vr(vr) != vr) { // DCMTK's "xs" and "up" are no VR of the standard
            log_error("Option -k %s: %s is no VR a text value can be given in (AE, AS, AT, CS, "
                      "DA, DS, DT, FD, FL, IS, LO, LT, PN, SH, SL, SS, ST, SV, TM, UC, UI, UL, "
                      "UR, US, UT, UV)\n",
                      key, vr);
            return false;
        }
        char name[40];
        snprintf(name, sizeof name, "Dicom/(%04X,%04X)/%s", unsigned(group), unsigned(element),
                 std::string(vr).c_str());
        append_comment(lines, name, value);
        return true;
    }
    bool dicom = parse_tag(key, &group, &element);
    if (dicom && !kuvra::internal::dict_find_tag(group, element)) {
        log_error("Option -k %s: the attribute is not in the data dictionary; name its VR, as in "
                  "%s/LO=VALUE\n",
                  key, key);
        return false;
    }
    if (const kuvra::internal::DictEntry *k =
            dicom ? nullptr : kuvra::internal::dict_find_keyword(key);
        k && !k->is_range()) {
        group = k->group;
        element = k->element;
        dicom = true;
    }
    if (dicom) {
        char name[32];
        snprintf(name, sizeof name, "Dicom/(%04X,%04X)", unsigned(group), unsigned(element));
        append_comment(lines, name, value);
        return true;
    }
    if (is_template_key(key)) {
        append_comment(lines, std::string(key), value);
        return true;
    }
    log_error("Unknown key for -k: %s (a DICOM keyword such as PatientName, or (gggg,eeee))\n",
              key);
    if (const kuvra::internal::DictEntry *m = kuvra::internal::dict_keyword_meant(key))
        log_error("Did you mean %s?\n", m->keyword());
    return false;
}

bool reference_comments(const char *file, bool series, bool instance_inc, std::string &lines) {
    static constexpr char tool[] = "kuvra_dicom_synthesizer";
    const char *option = series ? "--series-of" : "--study-of";
    char found[KV_PATH_BUFSIZE];
    if (!find_synthesizer(found, sizeof found)) {
        log_synthesizer_missing(series ? "--series-from" : "--study-from");
        return false;
    }
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const char *const argv[] = {tool, instance_inc ? "--instance-inc" : option,
                                instance_inc ? option : file, instance_inc ? file : nullptr,
                                nullptr};
    int fd = null_fd < 0 ? -1 : pipethrough(null_fd, found, argv);
    if (fd < 0 && null_fd >= 0) close(null_fd);
    FILE *from = fd < 0 ? nullptr : fdopen(fd, "r");
    if (fd >= 0 && !from) close(fd);
    // The tool names the study's UID (and the series') on success, and
    // prints nothing but its message on failure.
    std::string got;
    bool study = false, series_uid = false;
    if (from) {
        char line[KV_LINE_BUFSIZE];
        while (fgets_killcrnl(line, sizeof line, from)) {
            if (line[0] != '#') continue;
            study |= strncmp(line, "#Dicom/(0020,000D):\t", 20) == 0 && line[20];
            series_uid |= strncmp(line, "#Dicom/(0020,000E):\t", 20) == 0 && line[20];
            got += line;
            got += '\n';
        }
        fclose(from);
    }
    // Its status too: output it wrote before failing is no reference.
    if (fd >= 0 && !kuvra::internal::wait_started_children(nullptr)) study = false;
    if (!study || (series && !series_uid)) {
        log_error("Cannot join the %s of %s.\n", series ? "series" : "study", file);
        return false;
    }
    lines += got;
    return true;
}

} // namespace kuvra_convert
