// kuvra_dicom_to_P5: reads a DICOM file (the operand, or standard input)
// and writes its first frame's stored pixel values, unwindowed, to standard
// output: monochrome images as P5 (one byte per sample up to 8 bits stored,
// else two bytes, most significant first; MAXVAL 2^BitsStored-1), colour
// images as P6.
//
// Standard input is first copied into a file without a name in $TMPDIR (or
// /tmp), so that DCMTK can leave the pixel data there and read only the
// frame it decodes: memory follows one frame, not the file.
#include "dicom_to_p5.h"

#include <kuvra/internal/io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *prog = "kuvra_dicom_to_P5";

int fail(const std::string &msg) {
    fprintf(stderr, "%s: %s\n", prog, msg.c_str());
    return 1;
}

// Copies fd to its end into a new anonymous file; returns that file's
// descriptor and size, or -1 with errno.
int spool(int in, uint64_t &size) {
    int fd = dicom_to_p5::anonymous_file();
    if (fd < 0) return -1;
    static char buf[1 << 16];
    size = 0;
    for (;;) {
        ssize_t r = read(in, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        if (r == 0) return fd;
        if (kuvra::internal::write_fully(fd, buf, size_t(r)) != size_t(r)) break;
        size += uint64_t(r);
    }
    const int e = errno;
    close(fd);
    errno = e;
    return -1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-' && argv[1][1])) {
        fprintf(stderr, "Usage: %s [file.dcm] > image.pnm\n", prog);
        return 1;
    }
    uint64_t max_frame;
    if (!dicom_to_p5::parse_max_frame(getenv("KUVRA_DICOM_TO_P5_MAX_FRAME"), max_frame))
        return fail("KUVRA_DICOM_TO_P5_MAX_FRAME is not a number of bytes");

    const bool named = argc == 2 && strcmp(argv[1], "-") != 0;
    const char *what = named ? argv[1] : "standard input";
    int in = STDIN_FILENO;
    if (named && (in = open(argv[1], O_RDONLY | O_CLOEXEC)) < 0)
        return fail(std::string("cannot open ") + what + ": " + strerror(errno));
    struct stat st {};
    if (fstat(in, &st) != 0)
        return fail(std::string("cannot read ") + what + ": " + strerror(errno));
    int fd = in;
    uint64_t size = uint64_t(st.st_size);
    // A regular file is read where it is (from its start: standard input
    // moved on by someone else is spooled from where it stands); a pipe or
    // terminal is spooled.
    if ((!S_ISREG(st.st_mode) || lseek(in, 0, SEEK_CUR) != 0) && (fd = spool(in, size)) < 0)
        return fail(std::string("cannot read ") + what + ": " + strerror(errno));

    dicom_to_p5::init();
    std::string message;
    auto sink = [](const void *p, size_t n) {
        return kuvra::internal::write_fully(STDOUT_FILENO, p, n) == n;
    };
    if (dicom_to_p5::convert(fd, size, what, max_frame, sink, message) != 0) return fail(message);
    return 0;
}
