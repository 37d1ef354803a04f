#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Told the game's data folder (where the client reads its sound files) by the game side. Called on
// the pump thread, so it must return at once (hand the work to another thread).
class GameFolderListener {
public:
    virtual ~GameFolderListener() = default;
    virtual void GameFolderChanged(const std::string& folder) = 0;
};

// The six calls of the game connection's hook library. Three implementations fit behind it: the
// in-process fake of the tests, the Unix-socket stand-in the program uses, and (on Windows) a
// binding to the real library by ordinal.
//
// Threads: GetEvent, GetState and SetVerdict are called from the pump thread only, the two
// inject calls from the injection thread only, GetClientWindow from the UI thread only; the
// three overlap in time, so an implementation must be safe for that.
class HookLibrary {
public:
    virtual ~HookLibrary() = default;

    // One delivered event. For codes 1424 and 1425 `packet` points at one whole packet of `length`
    // bytes (first byte the packet id); the bytes stay valid and unchanged until the next
    // SetVerdict. Other codes carry nothing the program reads.
    struct Event {
        std::int32_t code = 0;
        std::uint32_t value = 0;
        const std::uint8_t* packet = nullptr;
        std::size_t length = 0;
    };

    // ordinal 1: no particular value is relied on.
    virtual std::uint8_t GetState() = 0;
    // ordinal 3: the client's window id, 0 when no client is attached.
    virtual std::uint32_t GetClientWindow() = 0;
    // ordinal 8: true when an event was delivered into `event`. May wait for one, for as long as
    // it takes; Wake() ends such a wait (false is then returned).
    virtual bool GetEvent(Event& event) = 0;
    // ordinal 9: 0 passes the last delivered event's packet, 1 blocks it.
    virtual void SetVerdict(std::uint32_t verdict) = 0;
    // ordinals 10, 11: the library has taken what it needs of the bytes when the call returns.
    virtual void InjectToClient(const std::uint8_t* data, std::size_t length) = 0;
    virtual void InjectToServer(const std::uint8_t* data, std::size_t length) = 0;

    // Not one of the library's calls: the bridge's stop, so a pump waiting in GetEvent sees it.
    // From any thread.
    virtual void Wake() {}

    // Not one of the library's calls either: the game's data folder as the game side last named
    // it (kept when it leaves), empty while none has. From any thread.
    virtual std::string GameFolder() { return {}; }
    // Told of every folder named from now on (null: nobody); read GameFolder() after setting it
    // for one named before. From any thread; the listener must live until the pump has stopped.
    virtual void SetGameFolderListener(GameFolderListener* listener) {}
};

// Bringing the client's window to the foreground: SetForegroundWindow on Windows, a RAISE frame
// to the peer with the socket stand-in. Not one of the library's calls, hence apart.
class ClientWindowRaiser {
public:
    virtual ~ClientWindowRaiser() = default;
    virtual void RaiseWindow(std::uint32_t window) = 0;
};

// Event codes that carry a whole packet.
inline constexpr std::int32_t kPacketFromServer = 1424; // 0x590
inline constexpr std::int32_t kPacketFromClient = 1425; // 0x591
