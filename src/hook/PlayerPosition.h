#pragma once

#include <atomic>
#include <cstdint>

// Where the player stood in the last 0x20 packet; all zero before the first one. Written by the
// pump, read by the UI thread: the three values travel as one atomic word, so a reader never
// sees x of one packet with y of another.
class PlayerPosition {
public:
    struct Value {
        std::uint16_t x = 0;
        std::uint16_t y = 0;
        std::uint8_t z = 0;
        friend bool operator==(const Value&, const Value&) = default;
    };

    void Store(Value value);
    Value Load() const;

private:
    std::atomic<std::uint64_t> m_packed{0};
};
