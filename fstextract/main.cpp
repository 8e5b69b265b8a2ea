// kuvra_FST_extract [input]: the file a FileCapsule fieldset carries, on
// standard output.
#include "fstextract.h"

#include <kuvra/fileutil.h>

#include <kuvra/internal/version.h>

#include <cstdio>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

namespace {

void usage(const char *argv0) {
    fprintf(stderr, "Usage: %s\n", argv0);
}

void help(const char *argv0) {
    printf("Usage: %s [INPUT]\n"
           "Writes the file that a FileCapsule fieldset (the file INPUT or standard input)\n"
           "carries to standard output.\n"
           "\n"
           "  --help     print this help and exit\n"
           "  --version  print the version and exit\n"
           "See kuvra_FST_extract(1).\n",
           argv0);
}

enum LongOnly { opt_help = 256, opt_version };

// The viewer may start us with descriptor 0 closed; stdio would then report
// a missing magic line instead of a missing input.
FILE *open_input(int argc, char *argv[]) {
    if (optind < argc) return fopen(argv[optind], "rb");
    return fcntl(STDIN_FILENO, F_GETFD) == -1 ? nullptr : stdin;
}

} // namespace

int main(int argc, char *argv[]) {
    const char *argv0 = argc > 0 ? argv[0] : "kuvra_FST_extract";

    opterr = 0; // our own message replaces getopt's
    static const struct option long_options[] = {
        {"help", no_argument, nullptr, opt_help},
        {"version", no_argument, nullptr, opt_version},
        {nullptr, 0, nullptr, 0},
    };
    for (int opt; (opt = getopt_long(argc, argv, "h", long_options, nullptr)) != -1;) {
        if (opt == opt_help) {
            help(argv0);
            return 0;
        }
        if (opt == opt_version) {
            kuvra::internal::print_version("kuvra_FST_extract");
            return 0;
        }
        if (opt != 'h') fputs("Unknown option.\n", stderr);
        usage(argv0);
        return 1;
    }

    detect_installpath(argv0);

    FILE *in = open_input(argc, argv);
    if (!in) {
        fputs("Cannot open input.\n", stderr);
        return 1;
    }

    int status = fst_extract_capsule(in, stdout, stderr);

    if (in != stdin) fclose(in);
    return status;
}
