#pragma once

#include "PacketBuilder.h"
#include "PlayerPosition.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// 2L + 52 <= 8192
inline constexpr std::size_t kMaxSystemMessageText = 4070;

// The 0xAE system message for a narrow text in `codePage` (ends at its first zero byte):
// 2L + 52 bytes, the text as big-endian UTF-16 from offset 48. Empty when the text is longer
// than kMaxSystemMessageText bytes.
std::vector<std::uint8_t> BuildSystemMessage(std::string_view text, const std::string& codePage);

// Writes the 12-byte 0x54 packet that makes the client play `number` at `position`.
void WritePlaySoundPacket(PacketBuilder& builder, std::uint16_t number, PlayerPosition::Value position);

// The same packet as bytes, for the game's side of the connection (the simulator, tests).
std::vector<std::uint8_t> PlaySoundPacket(std::uint16_t number, PlayerPosition::Value position = {});
