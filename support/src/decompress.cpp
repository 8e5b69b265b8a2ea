// Opening through stacked compression: each gzip, bzip2 or lzma layer is
// peeled by its decompressor program running on a pipe; the innermost
// stream is handed back from its first byte although sniffing read from it.
#include <kuvra/filetype.h>
#include <kuvra/pipes.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct Decompressor {
    int code;
    const char *program; // looked up through PATH
    const char *const argv[4];
};

// Only these layers are unwrapped: "compress" data (code 3) comes back as it is.
constexpr Decompressor kDecompressors[] = {
    {KV_MAGIC_GZIP, "gunzip", {"gunzip", "-c", "-q", nullptr}},
    {KV_MAGIC_BZIP2, "bunzip2", {"bunzip2", "-c", nullptr}},
    {KV_MAGIC_LZMA, "lzma", {"lzma", "-d", "-c", nullptr}},
};

// Layers peeled at most.  Real data has two or three; a crafted stream that
// decompresses to itself would otherwise start children without end.  The
// stream beyond the limit is handed back still compressed, with its code.
constexpr int kMaxLayers = 16;

const Decompressor *decompressor_for(int code) {
    for (const auto &d : kDecompressors)
        if (d.code == code) return &d;
    return nullptr;
}

// Ends a chain whose next link could not be made.  The standard descriptors
// are the process's own and never closed here.
void drop(int fd) {
    if (fd > 2) close(fd);
}

} // namespace

extern "C" {

int getmagic_open_compressed_fd(int fd, int *out) {
    int ignored;
    if (out == nullptr) out = &ignored;
    *out = -1;
    if (fd < 0) return KV_MAGIC_ERROR;

    // A seekable input is recognised from the start of the file, the place
    // it is handed back from, so that the code describes the stream the
    // caller gets.  (Recognising from the current position and rewinding
    // afterwards would pair the code of one byte range with another.)
    lseek(fd, 0, SEEK_SET);

    char sniffed[KV_SNIFF_BUFSIZE];
    int count;
    int code;
    for (int layers = 0;; ++layers) {
        count = int(sizeof sniffed);
        code = getmagic_fromfd_tomem(fd, sniffed, &count);
        // Never push back more than was really read, nor a negative count.
        if (count < 0 || count > int(sizeof sniffed)) count = 0;
        const Decompressor *d = decompressor_for(code);
        if (d == nullptr || layers == kMaxLayers) break;
        // A seekable layer (the file itself) goes to the decompressor
        // rewound: no kuvra_pipeprefix child copying the whole compressed
        // stream to put back the few sniffed bytes.  pipeprefix and
        // pipethrough leave fd with us when they fail.
        int whole = lseek(fd, 0, SEEK_SET) == 0 ? fd : pipeprefix(sniffed, count, fd);
        if (whole < 0) {
            drop(fd);
            return KV_MAGIC_ERROR;
        }
        fd = pipethrough(whole, d->program, d->argv);
        if (fd < 0) {
            drop(whole);
            return KV_MAGIC_ERROR;
        }
    }

    // A seekable stream is simply read again from the start of the file; a
    // pipe or terminal gets the sniffed bytes put back in front.
    if (lseek(fd, 0, SEEK_SET) != 0) {
        int whole = pipeprefix(sniffed, count, fd);
        if (whole < 0) {
            drop(fd);
            return KV_MAGIC_ERROR;
        }
        fd = whole;
    }
    *out = fd;
    return code;
}

int getmagic_open_compressed(const char *path, int *out) {
    int fd = path ? open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY) : -1;
    return getmagic_open_compressed_fd(fd, out);
}

FILE *open_file_for_load(const char *path, int expected) {
    int fd = -1;
    int code = getmagic_open_compressed(path, &fd);
    if (fd < 0) return nullptr;
    if (code != expected) {
        close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, "rb");
    if (f == nullptr) close(fd);
    return f;
}

} // extern "C"
