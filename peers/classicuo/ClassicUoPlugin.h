#pragma once

#include "HookLink.h"
#include "InjectQueue.h"
#include "PluginHeader.h"

#include <cstdint>
#include <string>
#include <vector>

// The plugin inside the ClassicUO client: every callback the client makes, on its main thread.
// Packets of the ids Kestrune watches go to it and wait for its verdict, within a budget for each
// frame (Tick begins the next); all others pass at once. What Kestrune sends back is handed to the
// client in Tick.
class ClassicUoPlugin {
public:
    // The client's functions, copied out of the header during Install.
    struct Client {
        PluginHeader::PacketLengthFn getPacketLength = nullptr;
        PluginHeader::PlayerPositionFn getPlayerPosition = nullptr;
        PluginHeader::InjectFn recv = nullptr;
        PluginHeader::InjectFn send = nullptr;
        void* window = nullptr; // the client's SDL_Window
        void (*raiseWindow)(void* window) = nullptr;
    };
    // The id told to Kestrune while the player is in the world: it only has to be non-zero.
    static constexpr std::uint32_t kWindowId = 1;

    ClassicUoPlugin(const Client& client, std::string socketPath);
    ClassicUoPlugin(const ClassicUoPlugin&) = delete;
    ClassicUoPlugin& operator=(const ClassicUoPlugin&) = delete;

    void Start() { m_link.Start(); }
    // The client's data folder, for Kestrune to read the sounds' names from; false when it cannot
    // travel to it.
    bool SetGameFolder(const std::string& folder) { return m_link.SetGameFolder(folder); }
    bool Closed() const { return m_closed; }

    // OnRecv_new / OnSend_new: false blocks the packet.
    bool OnPacket(std::int32_t code, std::uint8_t* data, const std::int32_t* length);
    void OnConnected();
    void OnDisconnected();
    void Tick();
    void OnClientClosing();

private:
    void Hand(InjectQueue::Command& command);
    bool LengthFits(const std::vector<std::uint8_t>& packet, std::int32_t& expected) const;

    const Client m_client;
    InjectQueue m_queue;
    HookLink m_link;
    std::vector<InjectQueue::Command> m_taken; // Tick's, kept for its capacity
    bool m_inWorld = false;
    bool m_closed = false;
};
