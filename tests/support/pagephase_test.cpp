// Placement of copy buffers within a page (the programs' internal helper).
#include <kuvra/internal/pagephase.h>

#include <gtest/gtest.h>

using kuvra::internal::buffer_phase;
using kuvra::internal::page_size;

namespace {

// How far a copy moves its bytes within a page: destination minus source.
int64_t forward(int64_t from, int64_t to) {
    return ((to - from) % int64_t(page_size) + int64_t(page_size)) % int64_t(page_size);
}

} // namespace

// Both copies of a transfer (file to buffer, buffer to file) move their
// bytes by the same amount, never by a few bytes forward (the slow case),
// whatever the two file offsets; offsets that agree keep to it too.
TEST(PagePhase, BothCopiesAvoidSmallForwardShifts) {
    for (int64_t src : {0, 1, 17, 18, 55, 92, 888, 2048, 4095, 4096 + 18, 123456789}) {
        for (int64_t dst = 0; dst < 3 * int64_t(page_size); dst += 7) {
            int64_t b = int64_t(buffer_phase(src, dst));
            ASSERT_GE(b, 0);
            ASSERT_LT(b, int64_t(page_size));
            int64_t first = forward(src, b), second = forward(b, dst);
            int64_t apart = std::abs(first - second);
            EXPECT_LE(std::min(apart, int64_t(page_size) - apart), 1) << src << " -> " << dst;
            EXPECT_TRUE(first == 0 || first >= int64_t(page_size) / 2) << src << " -> " << dst;
            EXPECT_TRUE(second == 0 || second >= int64_t(page_size) / 2 - 1)
                << src << " -> " << dst;
            // The phase depends on the offsets within their pages only.
            EXPECT_EQ(buffer_phase(src + 5 * int64_t(page_size), dst + int64_t(page_size)),
                      size_t(b));
        }
    }
    // The measured slow case: voxels 18 bytes into their pages, written
    // from a buffer on a page start.
    EXPECT_EQ(buffer_phase(0, 18), 2048u + 9u);
}
