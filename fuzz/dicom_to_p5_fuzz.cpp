// kuvra_dicom_to_P5's conversion in-process on a file in memory (memfd):
// the structure walk, DCMTK's reading, the checks and the decoders of the
// first frame.  Whatever the input, the result is either one message and no
// output, or one well-formed PNM image: its header, then exactly the
// samples it announces, none above its maximum value.
#include "dicom_to_p5.h"
#include "report.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Small enough to keep every run's memory in bounds.
constexpr uint64_t max_frame = 4 << 20;

[[noreturn]] void bad(const std::string &what, const std::string &message) {
    dprintf(fuzzreport::fd, "%s (message [%s])\n", what.c_str(), message.c_str());
    abort();
}

void check_pnm(const std::string &out, const std::string &message) {
    char magic[3] = {};
    unsigned w = 0, h = 0, maxval = 0;
    int used = 0;
    if (sscanf(out.c_str(), "%2s %u %u %u%n", magic, &w, &h, &maxval, &used) != 4 ||
        (std::string(magic) != "P5" && std::string(magic) != "P6"))
        bad("status 0 without a PNM header", message);
    const std::string header = std::string(magic) + "\n" + std::to_string(w) + " " +
                               std::to_string(h) + "\n" + std::to_string(maxval) + "\n";
    if (out.compare(0, header.size(), header) != 0) bad("PNM header not as written", message);
    if (w == 0 || h == 0 || maxval == 0 || maxval > 65535) bad("PNM header out of range", message);
    const unsigned bytes = maxval > 255 ? 2 : 1;
    const uint64_t n = uint64_t(w) * h * (magic[1] == '6' ? 3 : 1);
    if (out.size() - header.size() != n * bytes) bad("samples do not fill the image", message);
    for (uint64_t i = 0; i < n; ++i) {
        const auto *p = reinterpret_cast<const unsigned char *>(out.data() + header.size());
        const unsigned v = bytes == 2 ? unsigned(p[2 * i]) << 8 | p[2 * i + 1] : p[i];
        if (v > maxval) bad("sample above the maximum value", message);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > (1 << 20)) return 0;
    static const bool ready = (dicom_to_p5::init(), true);
    (void)ready;
    const int fd = memfd_create("dicom", MFD_CLOEXEC);
    if (fd < 0 || write(fd, data, size) != ssize_t(size)) abort();
    std::string out, message;
    const dicom_to_p5::Sink sink = [&](const void *p, size_t n) {
        out.append(static_cast<const char *>(p), n);
        return true;
    };
    const int status = dicom_to_p5::convert(fd, size, "input", max_frame, sink, message);
    close(fd);
    if (status == 0) {
        if (!message.empty()) bad("status 0 with a message", message);
        check_pnm(out, message);
    } else {
        if (status != 1) bad("status " + std::to_string(status), message);
        if (!out.empty()) bad("output written before a failure", message);
        if (message.empty() || message.find('\n') != std::string::npos)
            bad("failure without a one-line message", message);
    }
    return 0;
}
