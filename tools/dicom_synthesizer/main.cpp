// kuvra_dicom_synthesizer: reads an element list (FORMAT.md) on standard
// input and writes one DICOM Part 10 file to standard output.
#include "synth_build.h"
#include "synth_parse.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/oflog/oflog.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

void usage(FILE *f) {
    fputs("Usage: kuvra_dicom_synthesizer < element-list > file.dcm\n"
          "Reads lines \"(gggg,eeee) VR value\" (binary VRs: a byte count, then the raw\n"
          "bytes) and writes a DICOM file in Explicit VR Little Endian.\n",
          f);
}

int refuse(const kuvra::synth::ParseError &err) {
    if (err.line > 0)
        fprintf(stderr, "kuvra_dicom_synthesizer: line %lld: %s\n",
                static_cast<long long>(err.line), err.message.c_str());
    else
        fprintf(stderr, "kuvra_dicom_synthesizer: %s\n", err.message.c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return 0;
        }
        fprintf(stderr, "kuvra_dicom_synthesizer: unknown argument \"%s\"\n", argv[i]);
        usage(stderr);
        return 1;
    }
    // DCMTK's own warnings would interleave with ours; its errors surface
    // through the results we report.
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    if (isatty(STDOUT_FILENO)) {
        fputs("kuvra_dicom_synthesizer: standard output is a terminal; redirect it to a file\n",
              stderr);
        return 1;
    }

    kuvra::synth::FdSource in(STDIN_FILENO);
    kuvra::synth::ParseOptions opt;
    std::vector<kuvra::synth::Element> elems;
    kuvra::synth::ParseError err;
    if (!kuvra::synth::parse_elements(in, opt, elems, err)) return refuse(err);
    if (!kuvra::synth::synthesize(elems, STDOUT_FILENO, err)) return refuse(err);
    return 0;
}
