// Files and lines: opening by compression suffix, line readers that strip the
// line end, and the writer of header comment lines.
#include <kuvra/fileutil.h>

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// Longest name that is put into a compressor command line; the command and
// its quoting must fit a 1,024-byte command buffer.
constexpr size_t max_piped_name = 1000;

struct Compressor {
    std::string_view suffix;
    const char *load_command; // reads the named file, writes plain bytes
    const char *save_command; // reads plain bytes, writes the named file
};

constexpr Compressor compressors[] = {
    {".gz", "gzip -q -d <'%s'", "gzip -1 -c >'%s'"},
    {".bz2", "bzip2 -d <'%s'", "bzip2 -c >'%s'"},
};

// The compressor whose suffix ends the name, or null.  The suffix alone is no
// compressed name: ".gz" itself is an ordinary file.
const Compressor *compressor_for(std::string_view name) {
    for (const Compressor &c : compressors)
        if (name.size() > c.suffix.size() && name.ends_with(c.suffix)) return &c;
    return nullptr;
}

// Opens path for reading or writing, plainly or through the compressor its
// suffix names.  *is_pipe is set first, so the caller knows how to close even
// a failed open.
FILE *open_by_suffix(const char *path, int *is_pipe, bool for_save) {
    *is_pipe = 0;
    if (!path) return nullptr;
    std::string_view name(path);
    const Compressor *c = compressor_for(name);
    if (!c) return fopen(path, for_save ? "wb" : "rb");

    // The name goes between single quotes in a shell command: a quote in it
    // would end the quoting and let the rest run as shell text, so such
    // names are refused, as are names too long for the command buffer.
    if (name.find('\'') != std::string_view::npos || name.size() > max_piped_name) return nullptr;
    char command[KV_PATH_BUFSIZE];
    int n = snprintf(command, sizeof command, for_save ? c->save_command : c->load_command, path);
    if (n < 0 || size_t(n) >= sizeof command) return nullptr;
    *is_pipe = 1;
    // "e": our end of the pipe must not leak into other children; a leaked
    // write end keeps the compressor from ever seeing end of input, and
    // pclose would then wait for good.
    return popen(command, for_save ? "we" : "re");
}

// Ends the text before its first LF or CR, whichever comes first.
void kill_crnl(char *buf) {
    buf[strcspn(buf, "\r\n")] = '\0';
}

} // namespace

extern "C" {

FILE *fileio_fopenloadfile(const char *path, int *is_pipe) {
    return open_by_suffix(path, is_pipe, false);
}

FILE *fileio_fopensavefile(const char *path, int *is_pipe) {
    return open_by_suffix(path, is_pipe, true);
}

char *fgets_killcrnl(char *buf, int size, FILE *stream) {
    // With room for the terminator only, fgets "succeeds" without reading;
    // callers that loop to end of input would never get there.
    if (size < 2) return nullptr;
    if (!fgets(buf, size, stream)) return nullptr;
    kill_crnl(buf);
    return buf;
}

char *fgets_nocomment_killcrnl(char *buf, int size, FILE *stream) {
    while (fgets_killcrnl(buf, size, stream))
        if (buf[0] != '#') return buf;
    return nullptr;
}

char *fgets_nocomment_noempty_killcrnl(char *buf, int size, FILE *stream) {
    while (fgets_nocomment_killcrnl(buf, size, stream))
        if (buf[0] != '\0') return buf;
    return nullptr;
}

int write_comment_maxlen(FILE *stream, int maxlen, const char *prefix, const char *key,
                         const char *value) {
    if (!key && !value) return 1;
    if (!key || !value) {
        fprintf(stream, "%s%s\n", prefix, key ? key : value);
        return 0;
    }
    size_t len = strlen(value);
    // A non-positive chunk length would never advance; such a value is
    // written whole rather than looped over forever.
    if (maxlen <= 0 || len <= size_t(maxlen)) {
        fprintf(stream, "%s%s:\t%s\n", prefix, key, value);
        return 0;
    }
    for (size_t off = 0; off < len; off += size_t(maxlen)) {
        size_t chunk = len - off < size_t(maxlen) ? len - off : size_t(maxlen);
        fprintf(stream, "%s%s%s:\t%.*s\n", prefix, off == 0 ? "" : "+", key, int(chunk),
                value + off);
    }
    return 0;
}

} // extern "C"
