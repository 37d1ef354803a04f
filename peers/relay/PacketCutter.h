#pragma once

#include "PacketLengths.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

// Cuts one direction of a game connection into whole packets by their lengths. Bytes may come in
// any pieces. An id the table cannot size, or a variable length under 3, ends the cutting for
// good: from the packet that could not be sized on, every byte is kept uncut for the caller to
// pass on as it is (nothing is guessed).
class PacketCutter {
public:
    using OnPacket = std::function<void(std::span<const std::uint8_t> packet)>;

    explicit PacketCutter(PacketLengths lengths = {});

    // Hands every packet completed by `bytes` to `onPacket`, in order; a packet's bytes are valid
    // during the call only. After a fault the rest of `bytes`, and all later bytes, go to Uncut().
    void Feed(std::span<const std::uint8_t> bytes, const OnPacket& onPacket);

    bool Faulted() const { return !m_fault.empty(); }
    // Why cutting stopped, e.g. "packet 0xf0 has no known length"; empty while cutting.
    const std::string& Fault() const { return m_fault; }
    // Ends the cutting for `why`: the packet begun goes to the uncut bytes.
    void GiveUp(const std::string& why);
    // After a fault: the bytes from the unsizable packet on, not yet taken.
    std::vector<std::uint8_t> TakeUncut();
    // Bytes of a packet begun but not complete.
    std::size_t Pending() const { return m_partial.size(); }
    std::uint8_t PendingId() const { return m_partial.empty() ? 0 : m_partial[0]; }

    const PacketLengths& Lengths() const { return m_lengths; }

private:
    // The whole length of the packet at the start of `bytes`: 0 when more bytes are needed to
    // tell, -1 (with m_fault set) when it cannot be sized.
    long SizeOf(std::span<const std::uint8_t> bytes);

    PacketLengths m_lengths;
    std::vector<std::uint8_t> m_partial;
    std::vector<std::uint8_t> m_uncut;
    std::string m_fault;
};
