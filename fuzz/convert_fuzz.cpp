// The converter's line loop in-process: convert_stream over a memory input
// and a memory output.
//
// The macro stream must be safe for m4 (m4check.h: nothing in it but
// definitions with quoted arguments after the fixed prelude, whatever the
// header comments, field names and type names hold), end with the closing
// line exactly when the run succeeded, and name spool files that exist and
// hold exactly the field's total size.  Every spool file the run created is
// either listed in tdroot or already removed.
//
// Input: byte 0 picks the magic code the sniffer would have found (P5, P6 or
// fieldset), the rest is the input from its magic line.
#include "m4check.h"
#include "ppmtodicom.h"
#include "report.h"

#include <kuvra/debuglog.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

// Names of the files mkstemp created during one run.
std::vector<std::string> created;

[[noreturn]] void fail(const std::string &why) {
    dprintf(fuzzreport::fd, "%s\n", why.c_str());
    abort();
}

long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

} // namespace

// Every spool file comes from mkstemp; this copy records the name and lets
// the C library create it.
extern "C" int mkstemp(char *tmpl) {
    using Fn = int (*)(char *);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "mkstemp"));
    int fd = real(tmpl);
    if (fd >= 0) created.emplace_back(tmpl);
    return fd;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    debug_init();
    debug_set_file(nullptr); // messages go to the ring only
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 100000) return 0;
    static constexpr int magics[] = {8, 9, 24};
    const int magic = magics[data[0] % 3];
    const std::string input(reinterpret_cast<const char *>(data + 1), size - 1);
    created.clear();

    char *out_buf = nullptr;
    size_t out_len = 0;
    FILE *in = input.empty() ? fopen("/dev/null", "r")
                             : fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    FILE *out = open_memstream(&out_buf, &out_len);
    if (!in || !out) abort();
    const int rc = convert_stream(in, out, magic);
    fclose(in);
    fclose(out);
    const std::string stream(out_buf, out_len);
    free(out_buf);

    if (rc != 0 && rc != 1) fail("convert_stream returned " + std::to_string(rc));
    if (stream.compare(0, KV_M4_PRELUDE_LENGTH, kv_m4_prelude_text) != 0)
        fail("stream does not open with the prelude");
    size_t pos = KV_M4_PRELUDE_LENGTH;
    const std::vector<m4check::Definition> defs = m4check::definitions(stream, pos);
    const std::string rest = stream.substr(pos);
    if (rc == 0 && rest != KV_M4_CLOSING) fail("successful run without the closing line");
    if (rc == 1 && !rest.empty()) fail("failed run with text after its last definition");

    // Spool files: named by DATA definitions, of their field's total size.
    // The frame's own macros are defined once, by the converter.
    int format_defs = 0;
    for (const auto &d : defs) {
        if (d.name == "XX_DATA_FORMAT") format_defs++;
        if (d.name == "XX_CURRENT_DATE" || d.name == "XX_CURRENT_TIME" || d.name == "XX_OVERRIDE" ||
            d.name == "XX_REQUIRE" || d.name == "XX_REQUIRE_VALUE" || d.name == "XX_DEFAULT" ||
            d.name == "XX_UNSET" || d.name == "XX_OPTIONAL" || d.name == "XX_OVERRIDE_IFDEF")
            if (&d != &defs[0] && &d != &defs[1]) fail("header comment redefines " + d.name);
    }
    if (format_defs > 1) fail("XX_DATA_FORMAT defined again");

    // The total size in force is the latest one of the field (two fields
    // may share a sanitised name).
    std::map<std::string, std::string> totals;
    std::set<std::string> named;
    const std::string open = "undivert([[", close = "]])";
    for (const auto &d : defs) {
        const std::string &n = d.name;
        if (n.size() > 11 && n.compare(n.size() - 11, 11, "_TOTAL_SIZE") == 0)
            totals[n.substr(0, n.size() - 11)] = d.value;
        // A field named "v_DATA" says it exists with an empty XX_FIELD_v_DATA:
        // the sanitised names share one space (a field "v" beside it loses
        // its data macro).  Only the data macros carry a value here.
        // A data macro's byte-swapped twin names the empty file, made
        // beside the data file, that its dd writes into.
        if (n.rfind("XX_FIELD_", 0) == 0 && n.size() > 8 &&
            n.compare(n.size() - 8, 8, "_DATA_BS") == 0 && !d.value.empty()) {
            const size_t of = d.value.find(" of=");
            if (of == std::string::npos) fail("DATA_BS value " + d.value);
            const std::string swap = d.value.substr(of + 4, d.value.find(' ', of + 4) - of - 4);
            if (swap.rfind(KV_SPOOL_DIR "/" KV_SPOOL_PREFIX, 0) != 0)
                fail("swap file outside /tmp: " + swap);
            if (file_size(swap) != 0) fail(swap + " is not empty");
            named.insert(swap);
            continue;
        }
        if (n.rfind("XX_FIELD_", 0) != 0 || n.compare(n.size() - 5, 5, "_DATA") != 0 ||
            d.value.empty())
            continue;
        if (d.value.compare(0, open.size(), open) != 0) fail("DATA value " + d.value);
        const std::string path =
            d.value.substr(open.size(), d.value.size() - open.size() - close.size());
        if (path.rfind(KV_SPOOL_DIR "/" KV_SPOOL_PREFIX, 0) != 0)
            fail("spool file outside /tmp: " + path);
        auto total = totals.find(n.substr(0, n.size() - 5));
        if (total == totals.end()) fail("DATA without TOTAL_SIZE: " + n);
        const long want = std::max(0L, atol(total->second.c_str()));
        if (file_size(path) != want)
            fail(path + " holds " + std::to_string(file_size(path)) + " bytes, TOTAL_SIZE " +
                 total->second);
        named.insert(path);
    }
    std::set<std::string> listed;
    for (tdnode *n = tdroot; n; n = n->next)
        listed.insert(n->name);
    if (listed != named) fail("tdroot and the DATA definitions name different files");
    tdroot_remove_all();
    if (tdroot != nullptr) fail("tdroot not empty after removal");
    for (const auto &c : created)
        if (file_size(c) >= 0) fail("spool file left behind: " + c);
    for (const auto &c : named) // the swap files come from mkostemps
        if (file_size(c) >= 0) fail("file left behind: " + c);
    return 0;
}
