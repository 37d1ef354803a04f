#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Bytes waiting for a non-blocking socket, written as it takes them: several appends go out in
// one write, and what the socket does not take now stays, in order, for the next. Bounded: past
// `limit` waiting bytes an append is refused, for a reader that does not read is not ours to
// buffer. Two water marks tell when to stop feeding it (`high` bytes waiting) and when to go on
// (down to `low`). Not locked.
class SendBuffer {
public:
    enum class WriteResult {
        Done,    // nothing waits any more
        Pending, // the socket is full for now
        Broken,  // the connection is gone; errno says why
    };

    explicit SendBuffer(std::size_t limit) : SendBuffer(limit, limit, limit) {}
    SendBuffer(std::size_t limit, std::size_t highWater, std::size_t lowWater);

    // Appends `head` then `tail`, whole; false, nothing added, when more than the limit would wait.
    bool Append(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail = {});
    // Writes what `fd` takes now, without waiting and without SIGPIPE.
    WriteResult WriteTo(int fd);
    void Clear();

    std::size_t Limit() const { return m_limit; }
    std::size_t Unsent() const { return m_bytes.size() - m_start; }
    bool Pending() const { return m_start < m_bytes.size(); }
    // From the moment the high mark is reached until no more than the low one waits.
    bool AboveHighWater() const { return m_aboveHigh; }

private:
    static constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;

    void Drained();

    const std::size_t m_limit;
    const std::size_t m_high;
    const std::size_t m_low;
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_start = 0;
    bool m_aboveHigh = false;
};
