// kuvra_pnmto3d32 [-H] [-D] [input]: PNM image to 3D32 volume on standard output.
#include "pnmto3d32.h"

#include <kuvra/fileutil.h>

#include <kuvra/internal/version.h>

#include <cstdio>
#include <getopt.h>
#include <unistd.h>

namespace {

// Rows are written one record each; gathering them into larger writes saves
// most of the system calls that a row-sized write to a pipe or file costs.
// Static, so that it outlives the flush at exit.
char stdout_buffer[128 * 1024];

void usage(const char *argv0) {
    fprintf(stderr, "Usage: %s [-H] [-D]\n", argv0);
}

void help(const char *argv0) {
    printf("Usage: %s [-H] [-D] [INPUT]\n"
           "Turns a PGM (P5, 8 or 16 bits) or PPM (P6) image, the file INPUT or standard\n"
           "input, into a 3D32 volume on standard output.\n"
           "\n"
           "  -H         write the header only\n"
           "  -D         write the voxel data only\n"
           "  --help     print this help and exit\n"
           "  --version  print the version and exit\n"
           "See kuvra_pnmto3d32(1).\n",
           argv0);
}

enum LongOnly { opt_help = 256, opt_version };

} // namespace

int main(int argc, char *argv[]) {
    const char *argv0 = argc > 0 ? argv[0] : "kuvra_pnmto3d32";

    int select = PNMTO3D32_BOTH;
    opterr = 0; // our own message replaces getopt's
    static const struct option long_options[] = {
        {"help", no_argument, nullptr, opt_help},
        {"version", no_argument, nullptr, opt_version},
        {nullptr, 0, nullptr, 0},
    };
    for (int opt; (opt = getopt_long(argc, argv, "hHD", long_options, nullptr)) != -1;) {
        switch (opt) {
        case opt_help:
            help(argv0);
            return 0;
        case opt_version:
            kuvra::internal::print_version("kuvra_pnmto3d32");
            return 0;
        case 'H':
            select = PNMTO3D32_HEADER;
            break;
        case 'D':
            select = PNMTO3D32_DATA;
            break;
        case 'h':
            usage(argv0);
            return 1;
        default:
            fputs("Unknown option.\n", stderr);
            usage(argv0);
            return 1;
        }
    }

    detect_installpath(argv0);

    FILE *in = optind < argc ? fopen(argv[optind], "rb") : stdin;
    if (!in) {
        fputs("Cannot open input.\n", stderr);
        return 1;
    }

    setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
    int status = pnmto3d32_convert(in, stdout, stderr, select);

    if (in != stdin) fclose(in);
    return status;
}
