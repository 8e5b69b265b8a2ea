// Fresh DICOM UIDs, shared by the synthesizer (UIDs an input leaves out)
// and the converter's --new-uid (one UID for a batch of exports).
// Internal, not installed.
#pragma once

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/random.h>

namespace kuvra::internal {

// "2.25." followed by the decimal value of a fresh random (version 4) UUID:
// at most 44 characters, within the 64 a UI value takes.
inline std::string make_uuid_uid() {
    std::array<unsigned char, 16> u{};
    size_t got = 0;
    while (got < u.size()) {
        ssize_t r = getrandom(u.data() + got, u.size() - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) abort(); // no randomness: a repeated UID would merge unrelated studies
        got += static_cast<size_t>(r);
    }
    u[6] = static_cast<unsigned char>((u[6] & 0x0F) | 0x40); // version 4
    u[8] = static_cast<unsigned char>((u[8] & 0x3F) | 0x80); // RFC 4122 variant
    // The UUID as one 128-bit unsigned number, in decimal: repeated division
    // by ten of the big-endian bytes (no 128-bit integer type on 32-bit hosts).
    std::string digits;
    bool nonzero = true;
    while (nonzero) {
        unsigned rem = 0;
        nonzero = false;
        for (auto &b : u) {
            unsigned cur = rem * 256 + b;
            b = static_cast<unsigned char>(cur / 10);
            rem = cur % 10;
            nonzero |= b != 0;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + rem));
    }
    return "2.25." + digits;
}

} // namespace kuvra::internal
