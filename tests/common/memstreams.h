// In-memory stdio streams for driving a program's core in-process: input from
// a byte string, output and error text collected for comparison.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kvtest {

struct Streams {
    std::string input;
    FILE *in = nullptr;
    char *outbuf = nullptr, *errbuf = nullptr;
    size_t outlen = 0, errlen = 0;
    FILE *out = nullptr, *err = nullptr;

    explicit Streams(std::string bytes) : input(std::move(bytes)) {
        in = fmemopen(input.data(), input.size(), "rb");
        out = open_memstream(&outbuf, &outlen);
        err = open_memstream(&errbuf, &errlen);
    }
    ~Streams() {
        fclose(in);
        fclose(out);
        fclose(err);
        free(outbuf);
        free(errbuf);
    }
    Streams(const Streams &) = delete;
    Streams &operator=(const Streams &) = delete;
    std::string out_text() { return fflush(out), std::string(outbuf, outlen); }
    std::string err_text() { return fflush(err), std::string(errbuf, errlen); }
};

} // namespace kvtest
