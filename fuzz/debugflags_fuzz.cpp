// The "KUVRA_DEBUG_FLAGS" parser: apply_flags over arbitrary bytes (no
// terminator, so ASan catches a read past the text), and the same text
// through the environment with KVDebugReadEnvironment, both checked against
// a model that walks the list with the C library's own sscanf("%i,%i").
#include "debuglog_internal.h"
#include "report.h"

#include <kuvra/debuglog.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

using Table = std::array<uint32_t, KV_DEBUG_CATEGORIES>;

void model_set(Table &t, uint32_t category, uint32_t mask) {
    if (category < KV_DEBUG_CATEGORIES)
        t[category] = mask;
    else
        t.fill(mask);
}

// Pairs are read with sscanf at each position; the next pair starts behind
// the next ';', and a ';' that ends the text ends the list.
int model_apply(const std::string &text, Table &t) {
    int applied = 0;
    size_t pos = 0;
    for (;;) {
        int category = 0, mask = 0;
        if (sscanf(text.c_str() + pos, "%i,%i", &category, &mask) != 2) break;
        model_set(t, uint32_t(category), uint32_t(mask));
        applied++;
        size_t semi = text.find(';', pos);
        if (semi == std::string::npos || semi + 1 >= text.size()) break;
        pos = semi + 1;
    }
    return applied;
}

// sscanf is the reference only where its behaviour is defined and settled:
// numbers that fit 32 bits (overflow is undefined for "%i"), and no "0x"
// prefix without a hexadecimal digit behind it (C libraries differ on how
// much of such a prefix they consume).
bool model_applies(std::string_view text) {
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        run = isalnum(static_cast<unsigned char>(text[i])) ? run + 1 : 0;
        if (run > 9) return false;
        if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
            (i + 2 >= text.size() || !isxdigit(static_cast<unsigned char>(text[i + 2]))))
            return false;
    }
    return true;
}

Table seed_table(uint8_t seed) {
    Table t;
    for (size_t i = 0; i < t.size(); ++i)
        t[i] = uint32_t(seed) * 0x01010101u + uint32_t(i);
    return t;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    debug_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t seed = data[0];
    // A copy of exactly the text's length, without terminator.
    std::unique_ptr<char[]> raw(new char[size - 1]);
    memcpy(raw.get(), data + 1, size - 1);
    std::string_view bytes(raw.get(), size - 1);

    Table lib = seed_table(seed);
    const int n = kuvra::debuglog::apply_flags(bytes, lib);
    if (n < 0) abort();

    // Up to the first NUL, as the environment delivers it.
    const std::string text(bytes.substr(0, bytes.find('\0')));
    if (text.size() < bytes.size()) return 0; // a NUL inside: the two callers see different texts
    if (!model_applies(text)) return 0;
    Table want = seed_table(seed);
    const int want_n = model_apply(text, want);
    if (n != want_n || lib != want) {
        dprintf(fuzzreport::fd, "apply_flags(\"%s\"): %d pairs, model %d\n", text.c_str(), n,
                want_n);
        abort();
    }

    // The public path: the file masks only, the ring masks untouched.
    if (text.empty()) return 0; // an empty variable changes nothing; covered by the tests
    memcpy(KVDebugConfig.filemask, seed_table(seed).data(), sizeof KVDebugConfig.filemask);
    Table ring_before;
    memcpy(ring_before.data(), KVDebugConfig.ringmask, sizeof KVDebugConfig.ringmask);
    setenv("KUVRA_DEBUG_FLAGS", text.c_str(), 1);
    KVDebugReadEnvironment();
    Table file_after, ring_after;
    memcpy(file_after.data(), KVDebugConfig.filemask, sizeof KVDebugConfig.filemask);
    memcpy(ring_after.data(), KVDebugConfig.ringmask, sizeof KVDebugConfig.ringmask);
    if (file_after != want || ring_after != ring_before) {
        dprintf(fuzzreport::fd, "KVDebugReadEnvironment(\"%s\") differs from the model\n",
                text.c_str());
        abort();
    }
    return 0;
}
