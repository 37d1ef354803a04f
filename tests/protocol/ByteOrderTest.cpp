#include "ByteOrder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

// Every width at the edges of the bytes, and offsets that would wrap a careless bound check.
TEST(ByteOrderTest, ReadsAndWritesBigEndianOnlyInsideTheBytes) {
    constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();
    const std::vector<std::uint8_t> bytes = {0x12, 0x34, 0x56, 0x78, 0x9A};
    const struct {
        std::size_t width;
        std::size_t offset;
        std::optional<std::uint32_t> read; // none: outside
    } cases[] = {
        {1, 0, 0x12},       {1, 4, 0x9A}, {1, 5, {}},         {1, kHuge, {}},     {2, 0, 0x1234},
        {2, 3, 0x789A},     {2, 4, {}},   {2, kHuge, {}},     {2, kHuge - 1, {}}, {4, 0, 0x12345678},
        {4, 1, 0x3456789A}, {4, 2, {}},   {4, kHuge - 3, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "width " << c.width << " at " << c.offset);
        std::optional<std::uint32_t> read;
        if (c.width == 1)
            read = PeekU8(bytes, c.offset);
        else if (c.width == 2)
            read = PeekBe16(bytes, c.offset);
        else
            read = PeekBe32(bytes, c.offset);
        EXPECT_EQ(read, c.read);

        // Writing the value back where it was read leaves the bytes as they were; writing outside
        // leaves them untouched.
        auto copy = bytes;
        const std::uint32_t value = c.read.value_or(0xFFFFFFFF);
        const bool written = c.width == 1   ? PokeU8(copy, c.offset, static_cast<std::uint8_t>(value))
                             : c.width == 2 ? PokeBe16(copy, c.offset, static_cast<std::uint16_t>(value))
                                            : PokeBe32(copy, c.offset, value);
        EXPECT_EQ(written, c.read.has_value());
        EXPECT_EQ(copy, bytes);
    }
    std::vector<std::uint8_t> empty;
    EXPECT_FALSE(PeekU8(empty, 0));
    EXPECT_FALSE(PokeBe16(empty, 0, 1));

    std::vector<std::uint8_t> out(6, 0);
    ASSERT_TRUE(PokeBe16(out, 0, 0xA1B2));
    ASSERT_TRUE(PokeBe32(out, 2, 0xC3D4E5F6));
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}));
}
