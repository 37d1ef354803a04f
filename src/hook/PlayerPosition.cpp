#include "PlayerPosition.h"

void PlayerPosition::Store(Value value) {
    const std::uint64_t packed =
        std::uint64_t{value.x} | (std::uint64_t{value.y} << 16) | (std::uint64_t{value.z} << 32);
    m_packed.store(packed, std::memory_order_release);
}

PlayerPosition::Value PlayerPosition::Load() const {
    const std::uint64_t packed = m_packed.load(std::memory_order_acquire);
    return {static_cast<std::uint16_t>(packed), static_cast<std::uint16_t>(packed >> 16),
            static_cast<std::uint8_t>(packed >> 32)};
}
