#pragma once

#include "SendBuffer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

// The frames waiting to go to the hook socket's peer (a SendBuffer), and whether the peer still
// reads them. A peer may pause; one that leaves more than `maxUnsent` bytes waiting, or takes none of them for
// `stallLimit`, is to be dropped (Queue and Stalled tell).
//
// Not locked: the socket stand-in holds it under its own lock, shared by the three threads that
// write to the peer.
class PeerOutbox {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kDefaultMaxUnsent = std::size_t{8} << 20;
    static constexpr std::chrono::milliseconds kDefaultStallLimit{10'000};

    enum class FlushResult {
        Done,    // nothing waits any more
        Pending, // the socket is full for now: wait for it to take more
        Broken,  // the peer is gone
    };

    explicit PeerOutbox(std::size_t maxUnsent = kDefaultMaxUnsent,
                        std::chrono::milliseconds stallLimit = kDefaultStallLimit)
        : m_bytes(maxUnsent), m_stallLimit(stallLimit) {}

    // Frames now go to `fd` (-1: to nobody, and are dropped); whatever waited for the old peer
    // is discarded.
    void Attach(int fd);
    int Fd() const { return m_fd; }

    // Adds one frame, `head` then `tail`. False, nothing added, when that would leave more than
    // the bound waiting: the peer is not reading and must go.
    bool Queue(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail, Clock::time_point now);
    FlushResult Flush(Clock::time_point now);

    std::size_t MaxUnsent() const { return m_bytes.Limit(); }
    bool Pending() const { return m_bytes.Pending(); }
    std::size_t Unsent() const { return m_bytes.Unsent(); }
    // The moment by which the peer must have taken something; Clock::time_point::max() while
    // nothing waits.
    Clock::time_point StallDeadline() const;
    bool Stalled(Clock::time_point now) const { return Pending() && now >= StallDeadline(); }

private:
    SendBuffer m_bytes;
    const std::chrono::milliseconds m_stallLimit;
    int m_fd = -1;
    Clock::time_point m_lastProgress{};
};
