// kuvra_ppmtodicom [-m|-d m4module]: the macro stream of a P5, P6 or
// KUVRA_FST image on standard input, to standard output (-m) or through m4
// and a DICOM module template into kuvra_dicom_synthesizer (-d).
#include "ppmtodicom.h"

#include <kuvra/debuglog.h>
#include <kuvra/filetype.h>
#include <kuvra/fileutil.h>
#include <kuvra/pipes.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

enum Mode { to_stdout = 0, to_pipeline = 1 };

struct Options {
    Mode mode = to_stdout;
    const char *module = nullptr; // points into argv
};

void log_error(const char *msg) {
    debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "%s", msg);
}

// Options left to right; every recognised one first resets the mode, so the
// last of -m and -d wins.  false after -h or a bad option (usage logged).
bool parse_options(int argc, char **argv, Options *opt) {
    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, "hmd:")) != -1) {
        if (c == '?') {
            log_error("Unknown option.\n");
            c = 'h';
        }
        if (c == 'h') {
            debug_printf(KV_CAT_LOADSAVE, KV_SEV_ERROR, "Usage: %s [-m|-d m4module]\n", argv[0]);
            return false;
        }
        opt->mode = to_stdout;
        if (c == 'd') {
            opt->mode = to_pipeline;
            opt->module = optarg;
        }
    }
    return true;
}

// Where the macro stream goes for the rest of the run.
struct Sink {
    Mode mode = to_stdout;
    FILE *out = nullptr;
    kv_pipeline pipeline{};
};

// Opens the sink; false after a logged failure.
bool open_sink(const Options &opt, Sink *sink) {
    sink->mode = opt.mode;
    if (opt.mode == to_stdout) {
        sink->out = stdout;
        return true;
    }
    char modpath[KV_PATH_BUFSIZE], moddir[KV_PATH_BUFSIZE];
    if (find_dicom_module(opt.module, modpath, moddir) != 0) return false;
    if (export_pipeline_open(&sink->pipeline, moddir, modpath) != 0) {
        log_error("Cannot open output file/pipe.\n");
        return false;
    }
    // From here on no way out of the run may leave spooled files behind.
    spool_cleanup_on_signals();
    sink->out = sink->pipeline.sink;
    return true;
}

// Ends the run with status.  With the pipeline, the stream is closed, the
// pipeline waited for and every spooled file removed; the status becomes the
// synthesizer's unless the run already failed.  On standard output the files
// stay, named by the stream.
[[noreturn]] void finish(Sink *sink, int status) {
    if (sink->mode == to_pipeline && sink->out) {
        int pipeline_status = export_pipeline_close(&sink->pipeline);
        tdroot_remove_all();
        if (status == 0) status = pipeline_status;
    } else if (sink->out) {
        // A stream that could not be written whole must not end in success.
        bool failed = ferror(stdout) != 0;
        if ((fclose(stdout) != 0 || failed) && status == 0) {
            log_error("Cannot write macro stream.\n");
            status = 1;
        }
        tdroot_forget_all();
    }
    debug_exit();
    exit(status);
}

[[noreturn]] void fatal_stop(Sink *sink, const char *msg) {
    log_error(msg);
    finish(sink, 1);
}

} // namespace

int main(int argc, char **argv) {
    debug_init();
    debug_set_file("");
    KVDebugReadEnvironment();

    Options opt;
    if (!parse_options(argc, argv, &opt)) {
        debug_exit();
        return 1;
    }
    detect_installpath(argv[0]);
    pipethrough_catch_SIGCHLD();

    Sink sink;
    if (!open_sink(opt, &sink)) finish(&sink, 1);

    int fd = -1;
    int magic = getmagic_open_compressed_fd(0, &fd);
    if (fd < 0 || !data_format_name(magic))
        fatal_stop(&sink, "Input file must be P5, P6 or KUVRA_FIELDSET\n");
    FILE *in = fdopen(fd, "rb");
    if (!in) fatal_stop(&sink, "Cannot open input stream.\n");

    int status = convert_stream(in, sink.out, magic);
    fclose(in);
    finish(&sink, status == 0 ? 0 : 1);
}
