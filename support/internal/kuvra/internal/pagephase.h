// Where in a page to place a copy buffer.  Internal to the programs, not
// installed.
//
// The kernel copies between the page cache and a user buffer with plain
// loads and stores.  When the destination lies a few bytes after the source
// within their pages (a file offset of 18 read into a buffer at 36, say),
// the stores alias the loads that follow them and the copy runs at half
// speed on the processors we measured; offsets that agree, or that differ
// by more than a cache line either way, run at full speed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kuvra::internal {

inline constexpr size_t page_size = 4096;

// Offset within a page at which to place a buffer that carries bytes read
// at file offset src and written at file offset dst.  The two offsets fix
// the total shift between them; the buffer takes the place half-way round
// the page from both, so that each of the two copies moves its bytes by
// half the shift plus half a page: never a few bytes forward.
constexpr size_t buffer_phase(int64_t src, int64_t dst) noexcept {
    const uint64_t a = uint64_t(src) % page_size, c = uint64_t(dst) % page_size;
    const uint64_t shift = (c + page_size - a) % page_size;
    return size_t((a + shift / 2 + page_size / 2) % page_size);
}

} // namespace kuvra::internal
