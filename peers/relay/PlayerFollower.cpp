#include "PlayerFollower.h"

#include "GamePackets.h"

// x and y are big-endian at xAt and xAt + 2; a packet too short for them changes nothing.
bool PlayerFollower::Place(std::span<const std::uint8_t> packet, std::size_t xAt, std::size_t facingAt) {
    const auto x = PeekBe16(packet, xAt), y = PeekBe16(packet, xAt + 2);
    const auto facing = PeekU8(packet, facingAt);
    if (!x || !y || !facing)
        return false;
    m_known = true;
    m_x = *x;
    m_y = *y;
    m_facing = *facing & 7;
    return true;
}

// Directions 0 to 7 run clockwise from north; north is y - 1, east is x + 1.
void PlayerFollower::Step(std::uint8_t direction) {
    static constexpr int kDx[8] = {0, 1, 1, 1, 0, -1, -1, -1};
    static constexpr int kDy[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
    direction &= 7;
    m_x = static_cast<std::uint16_t>(m_x + kDx[direction]);
    m_y = static_cast<std::uint16_t>(m_y + kDy[direction]);
    m_facing = direction;
}

void PlayerFollower::FromServer(std::span<const std::uint8_t> packet) {
    if (packet.empty())
        return;
    switch (packet[0]) {
    case 0x1B: // enter world: x, y and the facing where 0x20 has them
        if (Place(packet, kPlayerXAt, kPlayerFacingAt))
            m_requests.clear();
        break;
    case kPlayerPacketId:
        Place(packet, kPlayerXAt, kPlayerFacingAt);
        break;
    case 0x21: // walk refused: back to this place, and the client starts its sequence anew
        if (Place(packet, 2, 6))
            m_requests.clear();
        break;
    case 0x22: { // walk confirmed
        const auto sequence = PeekU8(packet, 1);
        if (!sequence)
            break;
        for (auto it = m_requests.begin(); it != m_requests.end(); ++it) {
            if (it->sequence != *sequence)
                continue;
            const std::uint8_t direction = it->direction & 7;
            if (direction == m_facing)
                Step(direction);
            else
                m_facing = direction; // only a turn
            m_requests.erase(m_requests.begin(), it + 1);
            break;
        }
        break;
    }
    case 0x97: { // moved one tile without a request
        const auto direction = PeekU8(packet, 1);
        if (direction && m_known)
            Step(*direction);
        break;
    }
    default:
        break;
    }
}

void PlayerFollower::FromClient(std::span<const std::uint8_t> packet) {
    if (packet.empty() || packet[0] != 0x02)
        return;
    const auto direction = PeekU8(packet, 1), sequence = PeekU8(packet, 2);
    if (!direction || !sequence)
        return;
    if (m_requests.size() == kMaxRequests)
        m_requests.pop_front();
    m_requests.push_back({*sequence, static_cast<std::uint8_t>(*direction & 7)});
}
