// Hand-off of a file to the viewer program "see".
//
// The file is peeled down to content the viewer can take as a stream:
// compression layers (getmagic_open_compressed_fd), then DICOM images through
// kuvra_dicom_to_P5 and capsule fieldsets through kuvra_FST_extract, as often
// as the content calls for.  Content of a streamable type is piped into "see"
// with the argument "<mime>:-"; anything else is given to "see" by its path,
// with a warning in the log.
//
// Ownership: the stream is ours from the moment it is opened until it is
// handed to a child (pipethrough, pipeprefix or pipeto, which close it in the
// caller once the child runs) or closed here.  The pipe operations leave it
// with us when they fail, so every path out of open_file_via_OS ends with no
// descriptor of ours left open.  Children are never waited for here; the
// SIGCHLD reaper collects them.
#include <kuvra/debuglog.h>
#include <kuvra/filetype.h>
#include <kuvra/internal/fd.h>
#include <kuvra/pipes.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The stream being viewed: never 0, 1 or 2 (see open_stream).  A
// descriptor that passes to a child is released, not closed.
using Stream = kuvra::internal::UniqueFd;

// Content that is converted in a child and sniffed again.
struct Converter {
    int code;
    const char *program; // looked up through PATH
    const char *const argv[2];
};

constexpr Converter kConverters[] = {
    {KV_MAGIC_DICOM, "kuvra_dicom_to_P5", {"kuvra_dicom_to_P5", nullptr}},
    {KV_MAGIC_FST, "kuvra_FST_extract", {"kuvra_FST_extract", nullptr}},
};

// Types "see" reads from its standard input: PNG, JPEG, TIFF, GIF, ASF,
// MPEG, MP4, Ogg, MPEG video elementary stream, PDF.
constexpr std::array<int, 10> kStreamTypes = {
    KV_MAGIC_PNG,  KV_MAGIC_JPEG, KV_MAGIC_TIFF, KV_MAGIC_GIF,        KV_MAGIC_ASF,
    KV_MAGIC_MPEG, KV_MAGIC_MP4,  KV_MAGIC_OGG,  KV_MAGIC_MPEG_VIDEO, KV_MAGIC_PDF};

constexpr const char *kViewer = "see";
constexpr size_t kStreamArgSize = 256;

const Converter *converter_for(int code) {
    for (const Converter &c : kConverters)
        if (c.code == code) return &c;
    return nullptr;
}

bool viewed_as_stream(int code) {
    return std::find(kStreamTypes.begin(), kStreamTypes.end(), code) != kStreamTypes.end();
}

// Opens path read-only as a descriptor above 2.  The pipe operations take an
// input of 0 for the process's own standard input, which they share rather
// than hand over; a file that landed on a free standard slot would never be
// closed and would be given to the viewer in place of the real input.
// Close-on-exec, so that no child inherits it except through its own 0.
int open_stream(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 || fd > 2) return fd;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return high;
}

// Puts the stream back to its first byte: a seekable file is rewound, a pipe
// gets the sniffed bytes pushed back in front of it.  false when that fails;
// the stream is closed then.
bool restore(Stream &s, const char *sniffed, int count) {
    if (lseek(s.get(), 0, SEEK_SET) == 0) return true;
    int whole = pipeprefix(sniffed, count, s.get());
    if (whole < 0) {
        s.reset();
        return false;
    }
    (void)s.release(); // now held by kuvra_pipeprefix
    s.reset(whole);
    return true;
}

void log_viewer_failure(int result) {
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "'see' returned an error state (%d).\n", result);
}

// Pipes the stream into "see" with "<mime>:-".  The stream is gone on return.
int view_stream(Stream &s, int code) {
    char arg[kStreamArgSize];
    snprintf(arg, sizeof arg, "%s:-", magictomime(code));
    const char *const argv[] = {kViewer, arg, nullptr};
    int result = pipeto(s.get(), kViewer, argv);
    if (result == 0) {
        (void)s.release(); // now the viewer's
        return 0;
    }
    s.reset();
    log_viewer_failure(result);
    return result;
}

// Gives "see" the caller's path, with the process's own standard input.  The
// stream is closed only after the start: it is close-on-exec, so the viewer
// does not inherit it.
int view_path(Stream &s, const char *path, int code) {
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR,
                 "WARNING: File %s not convertible. Innermost format is %s (%d).\n", path,
                 magictomime(code), code);
    const char *const argv[] = {kViewer, path, nullptr};
    int result = pipeto(0, kViewer, argv);
    s.reset();
    if (result != 0) log_viewer_failure(result);
    return result;
}

} // namespace

extern "C" int open_file_via_OS(const char *path) {
    if (path == nullptr) return -1;
    int fd = open_stream(path);
    if (fd < 0) return -1;
    int peeled = -1;
    // The code is sniffed again below, after any conversion.
    getmagic_open_compressed_fd(fd, &peeled);
    if (peeled < 0) return -1;
    Stream stream(peeled);

    char sniffed[KV_SNIFF_BUFSIZE];
    for (;;) {
        int count = int(sizeof sniffed);
        int code = getmagic_fromfd_tomem(stream.get(), sniffed, &count);
        // Never push back more than the buffer really holds.
        count = std::clamp(count, 0, int(sizeof sniffed));

        if (const Converter *conv = converter_for(code)) {
            if (!restore(stream, sniffed, count)) return -1;
            int converted = pipethrough(stream.get(), conv->program, conv->argv);
            if (converted < 0) return -1; // the stream closes with its holder
            (void)stream.release();       // now the converter's
            stream.reset(converted);
            continue;
        }
        if (viewed_as_stream(code)) {
            if (!restore(stream, sniffed, count)) return -1;
            return view_stream(stream, code);
        }
        if (code == KV_MAGIC_3D32) return -1; // not viewable; the stream closes
        return view_path(stream, path, code);
    }
}
