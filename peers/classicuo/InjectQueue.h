#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

// What the program asks of the client, waiting for its main thread: the client's inject functions
// and SDL's window functions must not be called from the plugin's own thread. Bounded, so a peer
// that floods us costs some packets and never the game's memory.
class InjectQueue {
public:
    static constexpr std::size_t kMaxCommands = 1000;
    static constexpr std::size_t kMaxBytes = std::size_t{4} << 20;

    struct Command {
        enum class Kind : std::uint8_t { Inject, Raise } kind = Kind::Inject;
        std::uint8_t direction = 0; // Inject: 0 to the client, 1 to the server
        std::vector<std::uint8_t> packet;
    };

    // False, nothing queued, when the queue is full.
    bool PushInject(std::uint8_t direction, std::span<const std::uint8_t> packet);
    bool PushRaise();
    // Moves every waiting command, oldest first, into `out` (emptied first).
    void TakeAll(std::vector<Command>& out);
    void Clear();

private:
    bool Push(Command command);

    std::mutex m_lock;
    std::vector<Command> m_commands;
    std::size_t m_bytes = 0;
};
