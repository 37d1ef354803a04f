#pragma once

#include "PacketLengths.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct RelayOptions {
    std::string shardHost;
    std::uint16_t shardPort = 0;
    std::string listenAddress = "127.0.0.1"; // IPv4; loopback unless the user says otherwise
    std::uint16_t listenPort = 2593;
    std::uint16_t gamePort = 0;                 // 0: any free port, chosen at start
    std::optional<ClientVersion> clientVersion; // for clients that send no 0xEF seed
    // Length table changes: a length (0 variable), or none to make the id unknown.
    std::vector<std::pair<std::uint8_t, std::optional<std::uint16_t>>> lengthChanges;
    std::string hookSocket; // empty: the program's usual path
    std::chrono::milliseconds verdictTimeout{3000};
    std::chrono::milliseconds hookRetry{1000};
    std::chrono::milliseconds openingTimeout{10000}; // a new connection's time to say what it is
    bool raiseWindows = true;
    std::string gameFolder; // absolute; empty: none is named to the program
};

enum class ParseOutcome { Run, Help, Bad };

extern const char kRelayUsage[];

// Reads the command line; for Bad, `error` holds the message (without the program's name).
ParseOutcome ParseRelayOptions(int argc, const char* const* argv, RelayOptions& options, std::string& error);
