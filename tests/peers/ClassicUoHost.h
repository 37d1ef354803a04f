#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// The ClassicUO client's side of a native plugin, as the client's plugin interface is documented:
// fills the 264-byte header (one int32, then 32 pointer-sized fields) the way the client does,
// loads the library with dlopen(RTLD_NOW) and dlsym("Install"), calls Install with the header and
// takes the plugin's callbacks out of it. The header is freed and poisoned right after Install, as
// the client's loader lets it go out of scope. Then it calls the callbacks as the game loop does,
// on the thread that made it. One host at a time.
class ClassicUoHost {
public:
    // Field offsets on 64-bit Linux, named as the client names the fields.
    struct At {
        enum : std::size_t {
            ClientVersion = 0,
            Hwnd = 8,
            OnRecv = 16,
            OnSend = 24,
            OnHotkeyPressed = 32,
            OnMouse = 40,
            OnPlayerPositionChanged = 48,
            OnClientClosing = 56,
            OnInitialize = 64,
            OnConnected = 72,
            OnDisconnected = 80,
            OnFocusGained = 88,
            OnFocusLost = 96,
            GetUOFilePath = 104,
            Recv = 112,
            Send = 120,
            GetPacketLength = 128,
            GetPlayerPosition = 136,
            CastSpell = 144,
            GetStaticImage = 152,
            Tick = 160,
            RequestMove = 168,
            SetTitle = 176,
            OnRecv_new = 184,
            OnSend_new = 192,
            Recv_new = 200,
            Send_new = 208,
            OnDrawCmdList = 216,
            SDL_Window = 224,
            OnWndProc = 232,
            GetStaticData = 240,
            GetTileData = 248,
            GetCliloc = 256,
        };
    };
    static constexpr std::size_t kHeaderSize = 264;
    static constexpr std::size_t kGuardSize = 64;
    static constexpr std::uint8_t kGuardByte = 0xA5;

    using PacketFn = bool (*)(std::uint8_t* data, std::int32_t* length);
    using NotifyFn = void (*)();

    struct Injected {
        int direction; // 0 Recv_new (to the client), 1 Send_new (to the server)
        std::vector<std::uint8_t> packet;
        bool inTickOnMainThread;
    };

    // The plugin a program of tests loads: the one KESTRUNE_CLASSICUO_PLUGIN names in the
    // environment (an installed copy, say), else `built`, the one it was built with.
    static std::string PluginPath(const char* built) {
        const char* named = std::getenv("KESTRUNE_CLASSICUO_PLUGIN");
        return named != nullptr && *named != '\0' ? named : built;
    }

    // The data folder the client's GetUOFilePath hands out, a new allocation on every call (empty:
    // it returns null).
    static constexpr const char* kGameFolder = "/home/player/.local/share/classicuo/Ultima Online \xE6\x97\xA5";

    explicit ClassicUoHost(const std::string& pluginPath, std::string gameFolder = kGameFolder)
        : m_mainThread(std::this_thread::get_id()), m_previous(s_current) {
        s_current = this;
        m_gameFolder = std::move(gameFolder);
        m_library = dlopen(pluginPath.c_str(), RTLD_NOW);
        if (m_library == nullptr)
            throw std::runtime_error(std::string("dlopen: ") + dlerror());
        const auto install = reinterpret_cast<void (*)(void*)>(dlsym(m_library, "Install"));
        if (install == nullptr)
            throw std::runtime_error("no Install in " + pluginPath);

        auto header = std::make_unique<std::uint8_t[]>(kHeaderSize + kGuardSize);
        std::memset(header.get(), 0, kHeaderSize);
        std::memset(header.get() + kHeaderSize, kGuardByte, kGuardSize);
        const std::int32_t version = (7 << 24) | (0 << 16) | (102 << 8) | 3;
        std::memcpy(header.get() + At::ClientVersion, &version, sizeof version);
        Put(header.get(), At::GetPacketLength, &HostGetPacketLength);
        Put(header.get(), At::GetPlayerPosition, &HostGetPlayerPosition);
        Put(header.get(), At::Recv_new, &HostRecvNew);
        Put(header.get(), At::Send_new, &HostSendNew);
        Put(header.get(), At::SDL_Window, static_cast<void*>(&m_window));
        Put(header.get(), At::GetUOFilePath, &HostGetUOFilePath);
        for (const std::size_t offset : {At::Recv, At::Send, At::CastSpell, At::GetStaticImage, At::RequestMove,
                                         At::SetTitle, At::GetStaticData, At::GetTileData, At::GetCliloc})
            Put(header.get(), offset, &Forbidden);
        std::memcpy(m_before.data(), header.get(), kHeaderSize);

        install(header.get());

        std::memcpy(m_after.data(), header.get(), kHeaderSize);
        m_guardIntact = true;
        for (std::size_t i = 0; i < kGuardSize; ++i)
            m_guardIntact = m_guardIntact && header[kHeaderSize + i] == kGuardByte;
        std::memset(header.get(), 0xCC, kHeaderSize + kGuardSize);
        m_onRecv = reinterpret_cast<PacketFn>(Field(At::OnRecv_new));
        m_onSend = reinterpret_cast<PacketFn>(Field(At::OnSend_new));
    }
    ~ClassicUoHost() {
        Closing();
        // The client's own to free: a plugin that freed one too fails here under the sanitizers.
        for (char* path : m_filePaths)
            std::free(path);
        s_current = m_previous;
    }
    ClassicUoHost(const ClassicUoHost&) = delete;
    ClassicUoHost& operator=(const ClassicUoHost&) = delete;

    // The header's field at `offset` as the plugin left it, and as the host had filled it.
    std::uintptr_t Field(std::size_t offset) const { return Get(m_after.data(), offset); }
    std::uintptr_t FilledField(std::size_t offset) const { return Get(m_before.data(), offset); }
    bool GuardIntact() const { return m_guardIntact; }
    // The time spent inside the plugin's callbacks so far: what it has taken from the game's frames.
    std::chrono::steady_clock::duration InPlugin() const { return m_inPlugin; }
    bool Installed() const { return m_onRecv != nullptr; }
    PacketFn RecvCallback() const { return m_onRecv; }
    const void* Window() const { return &m_window; }

    // A packet from the server (OnRecv_new) or to it (OnSend_new): false when the plugin blocks it.
    bool FromServer(std::vector<std::uint8_t> packet) { return Call(m_onRecv, packet); }
    bool FromClient(std::vector<std::uint8_t> packet) { return Call(m_onSend, packet); }
    void EnterWorld() { Notify(At::OnConnected); }
    void LeaveWorld() { Notify(At::OnDisconnected); }
    void Tick() {
        m_inTick = true;
        Notify(At::Tick);
        m_inTick = false;
    }
    void Closing() {
        if (!m_closed)
            Notify(At::OnClientClosing);
        m_closed = true;
    }
    void SetPlayer(std::int32_t x, std::int32_t y, std::int32_t z, bool inWorld = true) {
        m_player = {x, y, z};
        m_playerKnown = inWorld;
    }

    std::vector<Injected> injected;
    std::vector<const void*> raised;
    int forbiddenCalls = 0;
    int filePathCalls = 0;
    bool filePathOnMainThread = true;

    // The client's SDL_RaiseWindow, for a test program that exports it.
    static void RaiseWindow(void* window) {
        if (s_current != nullptr)
            s_current->raised.push_back(window);
    }

private:
    template <class Value> static void Put(std::uint8_t* header, std::size_t offset, Value value) {
        std::memcpy(header + offset, &value, sizeof value);
    }
    static std::uintptr_t Get(const std::uint8_t* header, std::size_t offset) {
        std::uintptr_t value;
        std::memcpy(&value, header + offset, sizeof value);
        return value;
    }
    bool Call(PacketFn callback, std::vector<std::uint8_t>& packet) {
        auto length = static_cast<std::int32_t>(packet.size());
        const auto start = std::chrono::steady_clock::now();
        const bool pass = callback(packet.data(), &length);
        m_inPlugin += std::chrono::steady_clock::now() - start;
        return pass;
    }
    void Notify(std::size_t offset) {
        if (const auto callback = reinterpret_cast<NotifyFn>(Field(offset))) {
            const auto start = std::chrono::steady_clock::now();
            callback();
            m_inPlugin += std::chrono::steady_clock::now() - start;
        }
    }

    // The client's length table, for the packets the tests use: -1 for variable length, 0 unknown.
    static std::int16_t HostGetPacketLength(std::int32_t id) {
        switch (id) {
        case 0x1B:
            return 37;
        case 0x20:
            return 19;
        case 0x22:
            return 3;
        case 0x54:
            return 12;
        case 0x80:
            return 62;
        case 0x91:
            return 65;
        case 0xAE:
            return -1;
        default:
            return 0;
        }
    }
    static std::int32_t HostGetPlayerPosition(std::int32_t* x, std::int32_t* y, std::int32_t* z) {
        const bool known = s_current->m_playerKnown;
        *x = known ? s_current->m_player[0] : 0;
        *y = known ? s_current->m_player[1] : 0;
        *z = known ? s_current->m_player[2] : 0;
        return known ? 1 : 0;
    }
    static bool HostRecvNew(const std::uint8_t* data, std::int32_t* length) { return Take(0, data, length); }
    static bool HostSendNew(const std::uint8_t* data, std::int32_t* length) { return Take(1, data, length); }
    static bool Take(int direction, const std::uint8_t* data, const std::int32_t* length) {
        s_current->injected.push_back({direction,
                                       {data, data + *length},
                                       s_current->m_inTick && std::this_thread::get_id() == s_current->m_mainThread});
        return true;
    }
    static void Forbidden() { ++s_current->forbiddenCalls; }
    static char* HostGetUOFilePath() {
        ++s_current->filePathCalls;
        s_current->filePathOnMainThread =
            s_current->filePathOnMainThread && std::this_thread::get_id() == s_current->m_mainThread;
        if (s_current->m_gameFolder.empty())
            return nullptr;
        char* copy = static_cast<char*>(std::malloc(s_current->m_gameFolder.size() + 1));
        std::memcpy(copy, s_current->m_gameFolder.c_str(), s_current->m_gameFolder.size() + 1);
        s_current->m_filePaths.push_back(copy);
        return copy;
    }

    static inline ClassicUoHost* s_current = nullptr;

    const std::thread::id m_mainThread;
    ClassicUoHost* const m_previous;
    void* m_library = nullptr; // never closed: the client never unloads a plugin
    std::array<std::uint8_t, kHeaderSize> m_before{};
    std::array<std::uint8_t, kHeaderSize> m_after{};
    bool m_guardIntact = false;
    PacketFn m_onRecv = nullptr;
    PacketFn m_onSend = nullptr;
    int m_window = 0; // its address stands for the client's SDL_Window
    std::array<std::int32_t, 3> m_player{};
    bool m_playerKnown = false;
    bool m_inTick = false;
    bool m_closed = false;
    std::chrono::steady_clock::duration m_inPlugin{};
    std::string m_gameFolder;
    std::vector<char*> m_filePaths;
};
