// kuvra_dicom_synthesizer: reads an element list (FORMAT.md) on standard
// input and writes one DICOM Part 10 file to standard output.
#include "synth_build.h"
#include "synth_dict.h"
#include "synth_parse.h"
#include "synth_reference.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/oflog/oflog.h>
#include <kuvra/internal/endmark.h>
#include <kuvra/internal/fd.h>
#include <kuvra/internal/version.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

void usage(FILE *f) {
    fputs("Usage: kuvra_dicom_synthesizer [ELEMENT-LIST] > file.dcm\n"
          "       kuvra_dicom_synthesizer --require-end [ELEMENT-LIST] > file.dcm\n"
          "       kuvra_dicom_synthesizer [--instance-inc] --study-of FILE | --series-of FILE\n"
          "Reads lines \"(gggg,eeee) VR value\" (binary VRs: a byte count, then the raw\n"
          "bytes) from ELEMENT-LIST or standard input and writes a DICOM file in\n"
          "Explicit VR Little Endian.\n"
          "--require-end refuses a list that lacks its last line \"" KV_END_MARK "\"\n"
          "(kuvra_ppmtodicom has m4 write it at the end of a complete run).\n"
          "--study-of and --series-of print the patient and study (and series)\n"
          "attributes of the DICOM file FILE as header comments for kuvra_ppmtodicom\n"
          "(--series-of and --instance-inc: an InstanceNumber one above FILE's).\n"
          "--version prints the version.\n",
          f);
}

// The failure, named by where the value came from when its element line
// said so ("#origin: "), else by the line of the element list.
int refuse(const kuvra::synth::ParseError &err, const std::vector<kuvra::synth::Element> &elems) {
    for (const kuvra::synth::Element &el : elems)
        if (err.line > 0 && el.line == err.line && !el.origin.empty()) {
            fprintf(stderr, "kuvra_dicom_synthesizer: %s: %s\n", el.origin.c_str(),
                    err.message.c_str());
            return 1;
        }
    if (err.line > 0)
        fprintf(stderr, "kuvra_dicom_synthesizer: line %lld: %s\n",
                static_cast<long long>(err.line), err.message.c_str());
    else
        fprintf(stderr, "kuvra_dicom_synthesizer: %s\n", err.message.c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    kuvra::synth::defer_dictionary();
    const char *input = nullptr;
    bool require_end = false;
    // Before --study-of or --series-of, which end the options.
    bool instance_inc = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--instance-inc") {
            instance_inc = true;
            continue;
        }
        std::string_view a = argv[i];
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        }
        if (a == "--version") {
            kuvra::internal::print_version("kuvra_dicom_synthesizer");
            return 0;
        }
        if ((a == "--study-of" || a == "--series-of") && i + 1 < argc) {
            // The reason comes with our message; DCMTK's own lines would repeat it.
            OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
            std::string lines, why;
            // A file of any content: the dictionary whole.
            if (kuvra::synth::ParseError derr; !kuvra::synth::full_dictionary(derr)) {
                fprintf(stderr, "kuvra_dicom_synthesizer: %s\n", derr.message.c_str());
                return 1;
            }
            if (!kuvra::synth::reference_comments(argv[i + 1], a == "--series-of", instance_inc,
                                                  lines, why)) {
                fprintf(stderr, "kuvra_dicom_synthesizer: %s: %s\n", argv[i + 1], why.c_str());
                return 1;
            }
            fwrite(lines.data(), 1, lines.size(), stdout);
            return fflush(stdout) == 0 ? 0 : 1;
        }
        if (a == "--require-end") {
            require_end = true;
            continue;
        }
        if (!input && (a == "-" || !a.starts_with("-"))) {
            input = argv[i];
            continue;
        }
        fprintf(stderr, "kuvra_dicom_synthesizer: unknown argument \"%s\"\n", argv[i]);
        usage(stderr);
        return 1;
    }
    if (instance_inc) {
        fputs("kuvra_dicom_synthesizer: --instance-inc goes with --study-of or --series-of\n",
              stderr);
        return 1;
    }
    if (input && strcmp(input, "-") != 0) {
        int fd = open(input, O_RDONLY);
        if (fd < 0 || dup2(fd, STDIN_FILENO) < 0) {
            fprintf(stderr, "kuvra_dicom_synthesizer: cannot open %s: %s\n", input,
                    strerror(errno));
            return 1;
        }
        if (fd != STDIN_FILENO) close(fd);
    }
    // DCMTK's own warnings would interleave with ours; its errors surface
    // through the results we report.
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    if (isatty(STDOUT_FILENO)) {
        fputs("kuvra_dicom_synthesizer: standard output is a terminal; redirect it to a file\n",
              stderr);
        return 1;
    }

    // A regular file as output can be cut back if the input fails after the
    // pixel data have begun: the pixel bytes then go straight from input to
    // output.  Any other output gets nothing until every check has passed.
    kuvra::synth::ParseError err;
    kuvra::synth::StreamingWriter writer(STDOUT_FILENO, err);
    struct stat st;
    off_t start = -1;
    if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
        // Appending (">>") writes at the end whatever the offset says.
        int fl = fcntl(STDOUT_FILENO, F_GETFL);
        start = fl >= 0 && (fl & O_APPEND) ? st.st_size : lseek(STDOUT_FILENO, 0, SEEK_CUR);
    }

    // A large pipe buffer lets m4 run ahead instead of waking us for every
    // 64 KiB of pixel data: on a busy machine each wake-up waits for a CPU.
    // (Pipe buffers are kernel memory; failure just keeps the default.)
    if (fstat(STDIN_FILENO, &st) == 0 && S_ISFIFO(st.st_mode))
        fcntl(STDIN_FILENO, F_SETPIPE_SZ, kuvra::internal::large_pipe_size);

    kuvra::synth::FdSource in(STDIN_FILENO);
    kuvra::synth::ParseOptions opt;
    opt.require_end = require_end;
    if (start >= 0)
        opt.on_large_value = [&](std::vector<kuvra::synth::Element> &so_far,
                                 const kuvra::synth::Element &big, kuvra::synth::ParseError &) {
            return writer.started() ? -1 : writer.begin(so_far, big);
        };
    std::vector<kuvra::synth::Element> elems;
    bool ok = kuvra::synth::parse_elements(in, opt, elems, err);
    if (ok)
        ok = writer.started() ? writer.finish(elems)
                              : kuvra::synth::synthesize(elems, STDOUT_FILENO, err);
    if (!ok) {
        if (writer.started() &&
            (ftruncate(STDOUT_FILENO, start) != 0 || lseek(STDOUT_FILENO, start, SEEK_SET) < 0))
            fputs("kuvra_dicom_synthesizer: cannot cut back the partial output\n", stderr);
        return refuse(err, elems);
    }
    return 0;
}
