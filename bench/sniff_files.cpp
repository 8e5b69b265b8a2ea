// Names the type of every file in a list, one path per line, the way
// "file --mime-type -f LIST" does: one "path: mime/type" line per file on
// standard output.  The benchmark runs both over the same list; the per-file
// cost is the total divided by the number of lines.
//
// Usage: bench_sniff_files LIST   ("-" reads the list from standard input)
#include <kuvra/filetype.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s LIST\n", argv[0]);
        return 2;
    }
    FILE *list = strcmp(argv[1], "-") == 0 ? stdin : fopen(argv[1], "r");
    if (list == nullptr) {
        perror(argv[1]);
        return 1;
    }
    // One large output buffer: the output is written in a few big blocks,
    // so the figure is the sniffing, not the writes.
    std::vector<char> outbuf(size_t(1) << 20);
    setvbuf(stdout, outbuf.data(), _IOFBF, outbuf.size());

    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    long files = 0, unopened = 0;
    while ((len = getline(&line, &cap, list)) > 0) {
        if (line[len - 1] == '\n') line[--len] = '\0';
        if (len == 0) continue;
        int code = getmagic(line);
        if (code == KV_MAGIC_ERROR) ++unopened;
        ++files;
        fputs(line, stdout);
        fputs(": ", stdout);
        fputs(magictomime(code), stdout);
        fputc('\n', stdout);
    }
    free(line);
    if (list != stdin) fclose(list);
    if (fflush(stdout) != 0) {
        perror("write");
        return 1;
    }
    fprintf(stderr, "%ld files, %ld not opened\n", files, unopened);
    return 0;
}
