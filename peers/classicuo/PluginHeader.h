#pragma once

#include <cstddef>
#include <cstdint>

// The block the ClassicUO client hands a native plugin's Install: one 32-bit integer, then 32
// pointer-sized fields, 264 bytes on 64-bit Linux. Some fields are the client's functions, some
// the plugin's callbacks. The block lives on the client's stack while Install runs, has no size or
// version field and has only ever grown at its end, so it is read and written field by field, never
// past sizeof(PluginHeader), and never kept.
struct PluginHeader {
    using HotkeyFn = std::int32_t (*)(std::int32_t key, std::int32_t mod, std::int32_t pressed);
    using MouseFn = void (*)(std::int32_t button, std::int32_t wheel);
    using PositionChangedFn = void (*)(std::int32_t x, std::int32_t y, std::int32_t z);
    using NotifyFn = void (*)();
    using PacketLengthFn = std::int16_t (*)(std::int32_t id);
    using PlayerPositionFn = std::int32_t (*)(std::int32_t* x, std::int32_t* y, std::int32_t* z);
    using PacketFn = bool (*)(std::uint8_t* data, std::int32_t* length);
    using InjectFn = bool (*)(const std::uint8_t* data, std::int32_t* length);
    // A newly allocated UTF-8 string the caller owns; main thread only.
    using FilePathFn = char* (*)();

    std::int32_t ClientVersion; // the game data's version, not an ABI version
    void* HWND;                 // 0 on Linux
    void* OnRecv;               // legacy packet callbacks: left 0
    void* OnSend;
    HotkeyFn OnHotkeyPressed;
    MouseFn OnMouse;
    PositionChangedFn OnPlayerPositionChanged;
    NotifyFn OnClientClosing;
    NotifyFn OnInitialize;
    NotifyFn OnConnected;    // the player has entered the world
    NotifyFn OnDisconnected; // the player has left it
    NotifyFn OnFocusGained;
    NotifyFn OnFocusLost;
    FilePathFn GetUOFilePath; // the game's data folder
    void* Recv;               // legacy inject functions: never called
    void* Send;
    PacketLengthFn GetPacketLength; // -1 for a variable-length id
    PlayerPositionFn GetPlayerPosition;
    void* CastSpell;
    void* GetStaticImage;
    NotifyFn Tick; // once per frame of the client's main loop
    void* RequestMove;
    void* SetTitle;
    PacketFn OnRecv_new; // from the server; false blocks it
    PacketFn OnSend_new; // to the server; false blocks it
    InjectFn Recv_new;   // toward the client, main thread only
    InjectFn Send_new;   // toward the server, main thread only
    void* OnDrawCmdList;
    void* SDL_Window;
    void* OnWndProc;
    void* GetStaticData;
    void* GetTileData;
    void* GetCliloc;
};

static_assert(sizeof(void*) == 8, "the header's layout is known for 64-bit clients only");
static_assert(sizeof(PluginHeader) == 264);
static_assert(offsetof(PluginHeader, HWND) == 8);
static_assert(offsetof(PluginHeader, OnClientClosing) == 56);
static_assert(offsetof(PluginHeader, OnConnected) == 72);
static_assert(offsetof(PluginHeader, GetUOFilePath) == 104);
static_assert(offsetof(PluginHeader, GetPacketLength) == 128);
static_assert(offsetof(PluginHeader, Tick) == 160);
static_assert(offsetof(PluginHeader, OnRecv_new) == 184);
static_assert(offsetof(PluginHeader, Send_new) == 208);
static_assert(offsetof(PluginHeader, SDL_Window) == 224);
static_assert(offsetof(PluginHeader, GetCliloc) == 256);
