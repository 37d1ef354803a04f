#include "ClassicUoPlugin.h"

#include "GamePacket.h"

#include <cstdio>

ClassicUoPlugin::ClassicUoPlugin(const Client& client, std::string socketPath)
    : m_client(client), m_link(std::move(socketPath), m_queue) {}

bool ClassicUoPlugin::OnPacket(std::int32_t code, std::uint8_t* data, const std::int32_t* length) {
    if (data == nullptr || length == nullptr || *length <= 0)
        return true;
    const std::uint8_t id = data[0];
    if (!m_link.Watches(id) || IsLoginPacket(id))
        return true;
    return m_link.Ask(code, {data, static_cast<std::size_t>(*length)});
}

// The client shows messages and plays sounds only in the world: outside it Kestrune is told there
// is no window, so its Play does nothing.
void ClassicUoPlugin::OnConnected() {
    m_inWorld = true;
    m_link.SetWindow(kWindowId);
}

void ClassicUoPlugin::OnDisconnected() {
    m_inWorld = false;
    m_link.SetWindow(0);
}

void ClassicUoPlugin::Tick() {
    if (m_closed)
        return;
    m_link.NewFrame();
    m_queue.TakeAll(m_taken);
    for (auto& command : m_taken)
        Hand(command);
    m_taken.clear();
}

void ClassicUoPlugin::OnClientClosing() {
    if (m_closed)
        return;
    m_closed = true;
    m_link.Stop();
    m_queue.Clear();
}

void ClassicUoPlugin::Hand(InjectQueue::Command& command) {
    if (command.kind == InjectQueue::Command::Kind::Raise) {
        if (m_client.raiseWindow != nullptr && m_client.window != nullptr)
            m_client.raiseWindow(m_client.window);
        return;
    }
    // Injected into a client at its login screen, a game packet would only confuse it (and the
    // login server); the program injects only while it is told a window.
    if (!m_inWorld)
        return;
    auto& packet = command.packet;
    std::int32_t expected = 0;
    if (!LengthFits(packet, expected)) {
        char id[8];
        std::snprintf(id, sizeof id, "0x%02x", packet.empty() ? 0 : packet[0]);
        m_link.Note(std::string("dropped a packet ") + id + " of " + std::to_string(packet.size()) +
                    " bytes from Kestrune: the client " +
                    (expected > 0   ? "expects " + std::to_string(expected) + " bytes"
                     : expected < 0 ? std::string("reads another length in its size field")
                                    : std::string("does not know that packet")));
        return;
    }
    const auto inject = command.direction == 0 ? m_client.recv : m_client.send;
    if (inject == nullptr)
        return;
    // Kestrune places a sound where it last saw the player in a 0x20 packet; the game moves the
    // player without them, and a sound 18 tiles away is not heard.
    std::int32_t x = 0, y = 0, z = 0;
    if (command.direction == 0 && packet[0] == kSoundPacketId && m_client.getPlayerPosition != nullptr &&
        m_client.getPlayerPosition(&x, &y, &z) != 0)
        PlaceSoundAt(packet, static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y));
    std::int32_t length = static_cast<std::int32_t>(packet.size());
    inject(packet.data(), &length);
}

// The client cuts injected bytes into packets by its own length table: one packet of a wrong
// length would corrupt every one after it.
bool ClassicUoPlugin::LengthFits(const std::vector<std::uint8_t>& packet, std::int32_t& expected) const {
    if (packet.empty())
        return false;
    if (m_client.getPacketLength != nullptr)
        expected = m_client.getPacketLength(packet[0]);
    else // the two packets Kestrune builds
        expected = packet[0] == kSoundPacketId ? static_cast<std::int32_t>(kSoundPacketLength)
                   : packet[0] == 0xAE         ? -1 // a speech line
                                               : 0;
    if (expected == -1) // variable: the size field at 1 must match
        return PeekBe16(packet, 1) == packet.size();
    return expected > 0 && packet.size() == static_cast<std::size_t>(expected);
}
