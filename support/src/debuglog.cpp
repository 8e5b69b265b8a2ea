// Debug log: the shared configuration, the ring globals and their set-up,
// the log file and the environment overrides.  The emit core itself lives in
// the header, one copy per source file that logs.
#include "debuglog_internal.h"

#include <kuvra/debuglog.h>
#include <kuvra/internal/intparse.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {

// Zero before debug_init: no log file, and masks of 0 let nothing through.
kv_debug_config KVDebugConfig;

debugentry *debugentry_inmem_list = nullptr;
int32_t debugentry_inmem_index = 0;
int32_t debugentry_inmem_max = 0;

} // extern "C"

namespace kuvra::debuglog {

void set_masks(std::span<uint32_t, KV_DEBUG_CATEGORIES> table, uint32_t category, uint32_t mask) {
    if (category < KV_DEBUG_CATEGORIES) {
        table[category] = mask;
        return;
    }
    for (uint32_t &m : table)
        m = mask;
}

namespace {

// Closes the log file unless it is stderr, which the facility never closes;
// either way there is no log file afterwards.
void drop_logfile() {
    if (KVDebugConfig.logfile && KVDebugConfig.logfile != stderr) fclose(KVDebugConfig.logfile);
    KVDebugConfig.logfile = nullptr;
}

// A symbolic link the log may be written through: one of this user's or
// root's (/dev/stderr).  One that somebody else planted in a shared
// directory such as /tmp would redirect the log, patient data and all,
// into a file of that person's choosing.
bool trusted_link(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0 && S_ISLNK(st.st_mode) &&
           (st.st_uid == geteuid() || st.st_uid == 0);
}

// The log file for a path: "" is stderr, anything else opened for appending.
// A new file is created exclusively with mode 0600: the log holds input
// lines, which may be patient data.  An existing file is appended to as it
// is, a symbolic link only when trusted_link says so.  The descriptor is
// close-on-exec, so that the children of the pipe operations (m4,
// decompressors) do not hold the log file open.
FILE *open_logfile(const char *path) {
    if (path[0] == '\0') return stderr;
    constexpr int flags = O_WRONLY | O_APPEND | O_CLOEXEC;
    int fd = open(path, flags | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) {
        fd = open(path, flags | O_NOFOLLOW);
        if (fd < 0 && errno == ELOOP && trusted_link(path)) fd = open(path, flags);
    }
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, "a");
    if (!f) close(fd);
    return f;
}

} // namespace

size_t parse_int(std::string_view text, uint32_t &value) {
    // A negative number wraps, as strtoul has it; a magnitude beyond 32 bits
    // is no number.
    constexpr kuvra::internal::IntSyntax syntax{.c_prefixes = true};
    const auto r =
        kuvra::internal::parse_int<int64_t>(text, -int64_t(UINT32_MAX), UINT32_MAX, syntax);
    if (r.status != r.ok) return 0;
    value = uint32_t(r.value);
    return r.used;
}

int apply_flags(std::string_view text, std::span<uint32_t, KV_DEBUG_CATEGORIES> table) {
    int applied = 0;
    size_t pos = 0;
    for (;;) {
        std::string_view rest = text.substr(pos);
        uint32_t category = 0, mask = 0;
        size_t n = parse_int(rest, category);
        if (n == 0 || n >= rest.size() || rest[n] != ',') break;
        size_t m = parse_int(rest.substr(n + 1), mask);
        if (m == 0) break;
        set_masks(table, category, mask);
        applied++;
        // Whatever stands between the mask and the next ';' is ignored.
        size_t semi = text.find(';', pos + n + 1 + m);
        if (semi == std::string_view::npos || semi + 1 >= text.size()) break;
        pos = semi + 1;
    }
    return applied;
}

} // namespace kuvra::debuglog

namespace dl = kuvra::debuglog;

extern "C" {

int debug_init(void) {
    // A second call starts afresh instead of leaking the first ring.
    free(debugentry_inmem_list);
    debugentry_inmem_index = 0;
    // Zeroed slots: severity 0 marks them empty, and every text is the empty
    // string, so that a continuation before any message appends to a valid
    // string.
    debugentry_inmem_list =
        static_cast<debugentry *>(calloc(KV_DEBUG_RING_SLOTS, sizeof(debugentry)));
    debugentry_inmem_max = debugentry_inmem_list ? KV_DEBUG_RING_SLOTS : 0;
    dl::set_masks(KVDebugConfig.filemask, UINT32_MAX, 0x1f);
    dl::set_masks(KVDebugConfig.ringmask, UINT32_MAX, 0x7f);
    KVDebugConfig.filecount = 0;
    KVDebugConfig.ringcount = 0;
    return debugentry_inmem_list ? 0 : -1;
}

uint32_t debug_enable(uint32_t category, uint32_t mask) {
    dl::set_masks(KVDebugConfig.filemask, category, mask);
    return mask;
}

uint32_t debug_enable_inmem(uint32_t category, uint32_t mask) {
    dl::set_masks(KVDebugConfig.ringmask, category, mask);
    return mask;
}

int debug_set_file(const char *path) {
    dl::drop_logfile();
    if (!path) return 0;
    KVDebugConfig.logfile = dl::open_logfile(path);
    return KVDebugConfig.logfile ? 0 : -1;
}

void KVDebugReadEnvironment(void) {
    if (const char *file = getenv("KUVRA_DEBUG_FILE")) {
        dl::drop_logfile();
        KVDebugConfig.logfile = dl::open_logfile(file);
    }
    // The environment sets the file masks only; the ring keeps its own.
    if (const char *flags = getenv("KUVRA_DEBUG_FLAGS"); flags && *flags)
        dl::apply_flags(flags, KVDebugConfig.filemask);
}

int debug_exit(void) {
    free(debugentry_inmem_list);
    debugentry_inmem_list = nullptr;
    debugentry_inmem_index = 0;
    debugentry_inmem_max = 0;
    // stderr stays the log file: messages after the exit still reach it.
    if (KVDebugConfig.logfile != stderr) dl::drop_logfile();
    return 0;
}

} // extern "C"
