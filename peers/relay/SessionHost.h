#pragma once

#include "LoginPackets.h"
#include "PacketLengths.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <sys/socket.h>

class GameSession;

// Where a 0x8C sent a client, as the relay remembers it by the key.
struct GameServer {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::optional<ClientVersion> version; // from the login connection's 0xEF
    bool encrypted = false;               // the login connection's 0x80 was not plain text
};

// What the sessions ask of the relay that holds them.
class SessionHost {
public:
    enum class Direction : std::uint8_t { ToClient = 0, ToServer = 1 };

    virtual ~SessionHost() = default;

    virtual void Say(const std::string& line) = 0;
    // The length table for a client of `version` (none: the user's setting, else current clients).
    virtual PacketLengths LengthsFor(const std::optional<ClientVersion>& version) const = 0;
    virtual void RememberRedirect(std::uint32_t key, const GameServer& server) = 0;
    virtual std::optional<GameServer> FindRedirect(std::uint32_t key) const = 0;
    // The address is one of the relay's own listening ports: following it would go round for ever.
    virtual bool IsRelayItself(const sockaddr_storage& address) const = 0;

    // Kestrune is attached and wants packets of this id.
    virtual bool Watched(std::uint8_t id) const = 0;
    // Sends the packet as an EVENT whose VERDICT goes to `session`'s Verdict(direction, sequence).
    // False when it could not be sent: the packet then goes on unasked.
    virtual bool AskAbout(GameSession& session, Direction direction, std::uint64_t sequence,
                          std::span<const std::uint8_t> packet) = 0;
    // Only one game session is shown to Kestrune at a time.
    virtual bool TakeInspection(GameSession& session) = 0;
    virtual void InWorldChanged(GameSession& session) = 0;
};
