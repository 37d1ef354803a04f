#include "GamePackets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

// A play-sound packet and a player packet as the game sends them, cut at every length: a field is
// read only when the packet holds all of it, and what is built reads back as it went in.
TEST(GamePacketsTest, ReadsTheLayoutsOnlyWhenWholeAndBuildsWhatItReads) {
    const std::vector<std::uint8_t> sound = {0x54, 0x01, 0x02, 0x2B, 0x00, 0x00, 0x05, 0xDC, 0x06, 0x40, 0x00, 0xF6};
    const std::vector<std::uint8_t> player = {0x20, 0x00, 0x00, 0x00, 0x01, 0x01, 0x90, 0x00, 0x00, 0x00,
                                              0x00, 0x0A, 0x2E, 0x03, 0xE8, 0x00, 0x00, 0x02, 0x14};
    const GamePlace soundAt{1500, 1600, 0xF6}, playerAt{2606, 1000, 20};
    const struct {
        std::size_t length;
        std::optional<std::uint16_t> number;
        std::optional<GamePlace> soundPlace, playerPlace;
    } cases[] = {
        {0, {}, {}, {}},
        {3, {}, {}, {}},
        {4, 0x022B, {}, {}},
        {11, 0x022B, {}, {}},
        {12, 0x022B, soundAt, {}},
        {18, 0x022B, soundAt, {}},
        {19, 0x022B, soundAt, playerAt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.length);
        if (c.length <= sound.size()) {
            const PacketBytes cut(sound.data(), c.length);
            EXPECT_EQ(SoundNumberOf(cut), c.number);
            EXPECT_EQ(SoundPlaceOf(cut), c.soundPlace);
        }
        EXPECT_EQ(PlayerPlaceOf(PacketBytes(player.data(), c.length)), c.playerPlace);
    }

    const auto built = BuildPlaySound(0x022B, soundAt);
    EXPECT_EQ(std::vector<std::uint8_t>(built.begin(), built.end()), sound);
    const auto builtPlayer = BuildPlayer(playerAt);
    EXPECT_EQ(PlayerPlaceOf(builtPlayer), playerAt);
    EXPECT_EQ(builtPlayer[0], kPlayerPacketId);

    // Only a whole 0x54 is moved.
    auto moved = sound;
    EXPECT_TRUE(PlaceSoundAt(moved, 7, 8));
    EXPECT_EQ(SoundPlaceOf(moved), (GamePlace{7, 8, 0xF6}));
    EXPECT_EQ(SoundNumberOf(moved), 0x022B);
    auto longer = sound;
    longer.push_back(0);
    auto other = sound;
    other[0] = kPlayerPacketId;
    for (auto* refused : {&longer, &other}) {
        const auto before = *refused;
        EXPECT_FALSE(PlaceSoundAt(*refused, 7, 8));
        EXPECT_EQ(*refused, before);
    }
    std::vector<std::uint8_t> shorter(sound.begin(), sound.end() - 1);
    EXPECT_FALSE(PlaceSoundAt(shorter, 7, 8));
}
