#include "InjectQueue.h"

bool InjectQueue::PushInject(std::uint8_t direction, std::span<const std::uint8_t> packet) {
    {
        std::lock_guard lock(m_lock);
        if (m_commands.size() >= kMaxCommands || m_bytes + packet.size() > kMaxBytes)
            return false;
    }
    // The copy is made outside the lock, so the main thread never waits on an allocation.
    Command command{Command::Kind::Inject, direction, {packet.begin(), packet.end()}};
    return Push(std::move(command));
}

bool InjectQueue::PushRaise() {
    return Push(Command{Command::Kind::Raise, 0, {}});
}

bool InjectQueue::Push(Command command) {
    std::lock_guard lock(m_lock);
    if (m_commands.size() >= kMaxCommands || m_bytes + command.packet.size() > kMaxBytes)
        return false;
    m_bytes += command.packet.size();
    m_commands.push_back(std::move(command));
    return true;
}

void InjectQueue::TakeAll(std::vector<Command>& out) {
    out.clear();
    std::lock_guard lock(m_lock);
    out.swap(m_commands);
    m_bytes = 0;
}

void InjectQueue::Clear() {
    std::vector<Command> dropped;
    TakeAll(dropped);
}
