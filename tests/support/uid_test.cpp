// Fresh UIDs (the programs' internal helper): the synthesizer's UIDs for
// what an input leaves out, and the converter's --new-uid.
#include <kuvra/internal/uid.h>

#include <gtest/gtest.h>

TEST(Uid, IsTheDecimalOfAVersion4Uuid) {
    for (int i = 0; i < 50; ++i) {
        std::string u = kuvra::internal::make_uuid_uid();
        ASSERT_EQ(u.rfind("2.25.", 0), 0u);
        std::string digits = u.substr(5);
        ASSERT_FALSE(digits.empty());
        EXPECT_TRUE(digits == "0" || digits[0] != '0') << "leading zero: " << u;
        // Back to 128 bits: version nibble 4 and variant bits 10.
        unsigned char b[16] = {};
        for (char ch : digits) {
            unsigned carry = static_cast<unsigned>(ch - '0');
            for (int k = 15; k >= 0; --k) {
                unsigned v = b[k] * 10u + carry;
                b[k] = static_cast<unsigned char>(v & 0xFF);
                carry = v >> 8;
            }
            ASSERT_EQ(carry, 0u) << "more than 128 bits: " << u;
        }
        EXPECT_EQ(b[6] >> 4, 4) << u;
        EXPECT_EQ(b[8] >> 6, 2) << u;
    }
}
