// The plugin's one exported symbol, Install, and the callbacks it writes into the client's header.
// Every callback catches everything: an exception that reached the client would end the game.

#include "ClassicUoPlugin.h"
#include "GamePacket.h"
#include "HookProtocol.h"
#include "PluginHeader.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <string>

namespace {

// Made by Install, closed by OnClientClosing and never freed: the client may still call a
// callback after it, and a thread must never be left for static destruction to find.
ClassicUoPlugin* g_plugin = nullptr;

bool OnRecvNew(std::uint8_t* data, std::int32_t* length) {
    try {
        return g_plugin->OnPacket(kEventFromServer, data, length);
    } catch (...) {
        return true;
    }
}

bool OnSendNew(std::uint8_t* data, std::int32_t* length) {
    try {
        return g_plugin->OnPacket(kEventFromClient, data, length);
    } catch (...) {
        return true;
    }
}

template <void (ClassicUoPlugin::*Call)()> void Notify() {
    try {
        (g_plugin->*Call)();
    } catch (...) {
    }
}

template <class Field> Field Read(const void* header, std::size_t offset) {
    Field value;
    std::memcpy(&value, static_cast<const char*>(header) + offset, sizeof value);
    return value;
}

template <class Field> void Write(void* header, std::size_t offset, Field value) {
    std::memcpy(static_cast<char*>(header) + offset, &value, sizeof value);
}

} // namespace

extern "C" __attribute__((visibility("default"))) void Install(void* header) {
    try {
        if (header == nullptr)
            return;
        if (g_plugin != nullptr && !g_plugin->Closed()) {
            // Listed twice in settings.json: the same library, so the same state. Once is enough.
            std::fputs("kestrune-classicuo: already installed in this client; the second entry does nothing\n", stderr);
            return;
        }
        ClassicUoPlugin::Client client;
        client.getPacketLength = Read<PluginHeader::PacketLengthFn>(header, offsetof(PluginHeader, GetPacketLength));
        client.getPlayerPosition =
            Read<PluginHeader::PlayerPositionFn>(header, offsetof(PluginHeader, GetPlayerPosition));
        client.recv = Read<PluginHeader::InjectFn>(header, offsetof(PluginHeader, Recv_new));
        client.send = Read<PluginHeader::InjectFn>(header, offsetof(PluginHeader, Send_new));
        client.window = Read<void*>(header, offsetof(PluginHeader, SDL_Window));
        // The client's own SDL (2 or 3, both have it): a second copy of SDL must not be loaded.
        client.raiseWindow = reinterpret_cast<void (*)(void*)>(dlsym(RTLD_DEFAULT, "SDL_RaiseWindow"));

        auto plugin = std::make_unique<ClassicUoPlugin>(client, HookSocketPath());
        // Asked once, here on the main thread. The string is the client's allocation: copied and
        // never freed (a few bytes kept are safer than a free that is not ours to make).
        const auto getFilePath = Read<PluginHeader::FilePathFn>(header, offsetof(PluginHeader, GetUOFilePath));
        if (const char* folder = getFilePath ? getFilePath() : nullptr; folder && *folder) {
            const std::string path(folder, strnlen(folder, kMaxGameFolderBytes + 1));
            if (!plugin->SetGameFolder(path))
                std::fputs("kestrune-classicuo: the game's folder is not UTF-8 of at most 4096 bytes; Kestrune is not "
                           "told it\n",
                           stderr);
        }
        plugin->Start();
        delete g_plugin;
        g_plugin = plugin.release();

        Write<PluginHeader::PacketFn>(header, offsetof(PluginHeader, OnRecv_new), &OnRecvNew);
        Write<PluginHeader::PacketFn>(header, offsetof(PluginHeader, OnSend_new), &OnSendNew);
        Write<PluginHeader::NotifyFn>(header, offsetof(PluginHeader, OnConnected),
                                      &Notify<&ClassicUoPlugin::OnConnected>);
        Write<PluginHeader::NotifyFn>(header, offsetof(PluginHeader, OnDisconnected),
                                      &Notify<&ClassicUoPlugin::OnDisconnected>);
        Write<PluginHeader::NotifyFn>(header, offsetof(PluginHeader, Tick), &Notify<&ClassicUoPlugin::Tick>);
        Write<PluginHeader::NotifyFn>(header, offsetof(PluginHeader, OnClientClosing),
                                      &Notify<&ClassicUoPlugin::OnClientClosing>);
    } catch (...) {
        // Without a plugin the header keeps no callback of ours: the game runs as if we were absent.
    }
}
