// Reading the in-memory ring back: raw dumps to a descriptor, selections as
// one allocated text in three styles, and the category and severity labels.
#include <kuvra/debuglog.h>
#include <kuvra/internal/io.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

extern "C" {

const debug_bitname debug_subsys_bitnames[] = {
    {"Unknown", 0},  {"Reserved", 1}, {"InitExit", 2}, {"LoadSave", 3}, {"Network", 4},
    {"DLL", 5},      {"Markers", 6},  {"Bus", 7},      {"Misc", 8},     {"ExtApp", 9},
    {"Vantrel", 10}, {"DICOM", 11},   {"Macros", 20},  {"Vars", 21},    {"Function", 22},
    {"Expr.", 23},   {"Volume", 30},  {"Window", 31},  {"View", 32},    {"Renderer", 33},
    {"Mouse", 40},   {"Key", 41},     {"Command", 42}, {"CoRout", 43},  {"Sound", 44},
    {"GGI_In", 50},  {"GGI_Out", 51}, {"GGI_WMH", 52}, {"Widget", 53},  {"All", UINT32_MAX},
    {nullptr, 0},
};

// Single bits first: the label lookup takes the first row sharing a bit, so
// the group rows ("Errors", "User", "All") are never chosen for an entry.
const debug_bitname debug_severity_bitnames[] = {
    {"Panic", 1},    {"Alert", 2},   {"Critical", 4}, {"Error", 8}, {"Errors", 15},
    {"Warning", 16}, {"Notice", 32}, {"User", 63},    {"Info", 64}, {"Debug", 128},
    {"Junk", 256},   {"Trace", 512}, {"All", 1023},   {nullptr, 0},
};

} // extern "C"

namespace {

constexpr size_t kLineSize = 1024;

// Colour marks of the marked style: control byte 0x03 and red, green, blue.
// None of the bytes is zero, as the marks live inside zero-terminated text.
struct SeverityMark {
    uint32_t bits; // the entry takes this mark when it has any of these bits
    char mark[5];
};
constexpr std::array<SeverityMark, 4> kMarks = {{
    {KV_SEV_PANIC | KV_SEV_ALERT | KV_SEV_CRITICAL | KV_SEV_ERROR,
     {'\x03', '\xFF', '\x30', '\x30', 0}},
    {KV_SEV_WARNING, {'\x03', '\xFF', '\xFF', '\x01', 0}},
    {KV_SEV_NOTICE, {'\x03', '\xAF', '\xFF', '\xAF', 0}},
    {KV_SEV_INFO, {'\x03', '\x3F', '\x3F', '\xAF', 0}},
}};
// Debug, junk, trace and any other bits.
constexpr char kMarkOther[5] = {'\x03', '\x33', '\x33', '\x7F', 0};
constexpr char kMarkEnd[3] = {'\x10', '&', 0};

const char *severity_mark(uint32_t severity) {
    for (const SeverityMark &m : kMarks)
        if (severity & m.bits) return m.mark;
    return kMarkOther;
}

const char *category_label(uint32_t category) {
    for (const debug_bitname *row = debug_subsys_bitnames; row->name; row++)
        if (row->value == category) return row->name;
    return "???";
}

const char *severity_label(uint32_t severity) {
    for (const debug_bitname *row = debug_severity_bitnames; row->name; row++)
        if (row->value & severity) return row->name;
    return "???";
}

// Formats slot e in style 0 (raw), 1 (dated) or 2 (marked) into out, cut to
// fit its kLineSize bytes.  0 when out was written, 1 for an unknown style
// (out untouched).
int debugentry_format(int style, const debugentry &e, char (&out)[kLineSize]) {
    int n;
    if (style == 0) {
        n = snprintf(out, sizeof out, "%d.%06d:% 2d %08x: %s", int(e.sec), int(e.usec),
                     int(e.category), unsigned(e.severity), e.text);
    } else if (style == 1 || style == 2) {
        time_t t = e.sec;
        struct tm tm {};
        localtime_r(&t, &tm);
        const char *cat = category_label(e.category);
        const char *sev = severity_label(e.severity);
        if (style == 1)
            n = snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d.%06d:%-8s %-8s: %s",
                         tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                         tm.tm_sec, int(e.usec), cat, sev, e.text);
        else
            n = snprintf(out, sizeof out, "%s%04d-%02d-%02d %02d:%02d:%02d.%06d:%-8s %-8s: %s%s",
                         severity_mark(e.severity), tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                         tm.tm_hour, tm.tm_min, tm.tm_sec, int(e.usec), cat, sev, e.text, kMarkEnd);
    } else {
        return 1;
    }
    if (n < 0) out[0] = '\0';
    return 0;
}

// The slot after (before) pos, wrapping round the ring.
int32_t next_slot(int32_t pos) {
    return pos + 1 >= debugentry_inmem_max ? 0 : pos + 1;
}
int32_t prev_slot(int32_t pos) {
    return pos == 0 ? debugentry_inmem_max - 1 : pos - 1;
}

// Negative or too large counts mean the whole ring.
int32_t clamp_count(int count) {
    return count < 0 || count > debugentry_inmem_max ? debugentry_inmem_max : count;
}

bool later(int32_t sec, int32_t usec, const debug_timeval &t) {
    return sec > t.sec || (sec == t.sec && usec > t.usec);
}
bool earlier(int32_t sec, int32_t usec, const debug_timeval &t) {
    return sec < t.sec || (sec == t.sec && usec < t.usec);
}

struct Selection {
    int category;
    uint32_t severity;
    const debug_timeval *earliest;
    const debug_timeval *latest;

    bool matches(const debugentry &e) const {
        return e.severity != 0 && (e.severity & severity) != 0 &&
               (category == -1 || uint32_t(category) == e.category) &&
               (!earliest || later(e.sec, e.usec, *earliest)) &&
               (!latest || earlier(e.sec, e.usec, *latest));
    }
};

} // namespace

extern "C" {

int debug_dump_inmem(int fd, int count) {
    int32_t n = clamp_count(count);
    if (n == 0 || !debugentry_inmem_list) return 0;
    int32_t pos = debugentry_inmem_index - n;
    if (pos < 0) pos += debugentry_inmem_max;
    for (int32_t i = 0; i < n; i++, pos = next_slot(pos)) {
        const debugentry &e = debugentry_inmem_list[pos];
        if (e.severity == 0) continue;
        char line[kLineSize];
        debugentry_format(0, e, line);
        // A failed write loses the rest of this line; the next one is tried.
        (void)kuvra::internal::write_fully(fd, line, strlen(line));
    }
    return 0;
}

char *KVDebugGetstrInmem(int style, int count, int category, uint32_t severity,
                         const debug_timeval *earliest, const debug_timeval *latest) {
    int32_t n = clamp_count(count);
    if (n == 0 || !debugentry_inmem_list) return nullptr;
    const Selection sel{category, severity, earliest, latest};
    char line[kLineSize];

    // Newest first, to find the n newest matches and the size they need.
    int32_t found = 0;
    size_t total = 0;
    int32_t pos = prev_slot(debugentry_inmem_index);
    for (int32_t i = 0; i < debugentry_inmem_max; i++) {
        const debugentry &e = debugentry_inmem_list[pos];
        // An unknown style formats nothing, so it selects nothing.
        if (sel.matches(e) && debugentry_format(style, e, line) == 0) {
            total += strlen(line);
            if (++found == n) break;
        }
        if (i + 1 < debugentry_inmem_max) pos = prev_slot(pos);
    }
    if (found == 0 || total == 0) return nullptr;
    char *block = static_cast<char *>(malloc(total + 1));
    if (!block) return nullptr;

    // Oldest first from where the first pass stopped, formatting again; a
    // line goes in only while it fits, should the ring have changed.
    size_t used = 0;
    int32_t appended = 0;
    for (int32_t i = 0; i < debugentry_inmem_max && appended < found; i++, pos = next_slot(pos)) {
        const debugentry &e = debugentry_inmem_list[pos];
        if (!sel.matches(e) || debugentry_format(style, e, line) != 0) continue;
        size_t len = strlen(line);
        if (used + len > total) break;
        memcpy(block + used, line, len);
        used += len;
        appended++;
    }
    block[used] = '\0';
    return block;
}

} // extern "C"
