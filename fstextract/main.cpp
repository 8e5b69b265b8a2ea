// kuvra_FST_extract [input]: the file a FileCapsule fieldset carries, on
// standard output.
#include "fstextract.h"

#include <kuvra/fileutil.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

void usage(const char *argv0) {
    fprintf(stderr, "Usage: %s\n", argv0);
}

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
    for (int opt; (opt = getopt(argc, argv, "h")) != -1;) {
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
