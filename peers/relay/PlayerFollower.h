#pragma once

#include <cstdint>
#include <deque>
#include <span>

// Follows where the player stands from the packets of a game connection: entering the world
// (0x1B), the player packet (0x20), the client's walk requests (0x02) with the server's answers
// (0x22 confirms, 0x21 refuses and puts the player back), and moves without a request (0x97).
// Kestrune only sees 0x20, which the game does not send while the player walks.
class PlayerFollower {
public:
    // Both feeds take whole packets, in the order they go on to their receivers.
    void FromServer(std::span<const std::uint8_t> packet);
    void FromClient(std::span<const std::uint8_t> packet);

    bool Known() const { return m_known; }
    std::uint16_t X() const { return m_x; }
    std::uint16_t Y() const { return m_y; }
    std::uint8_t Facing() const { return m_facing; }

private:
    struct WalkRequest {
        std::uint8_t sequence;
        std::uint8_t direction;
    };
    // Walk requests kept for their answers; a client has only a handful in flight.
    static constexpr std::size_t kMaxRequests = 64;

    bool Place(std::span<const std::uint8_t> packet, std::size_t xAt, std::size_t facingAt);
    void Step(std::uint8_t direction);

    bool m_known = false;
    std::uint16_t m_x = 0;
    std::uint16_t m_y = 0;
    std::uint8_t m_facing = 0;
    std::deque<WalkRequest> m_requests;
};
