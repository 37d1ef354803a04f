#include "RelayOptions.h"

#include "GameFolderOption.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <string_view>

const char kRelayUsage[] = R"(Usage: kestrune-relay --shard HOST:PORT [OPTION]...
Sits between a game client and its shard so that Kestrune hears the game: point the client at
the relay's address (127.0.0.1, port 2593 unless --listen says otherwise) with its encryption
off. The whole session passes through; the packets Kestrune watches wait for its verdict, and
Kestrune's Play command reaches the client. Without Kestrune the game passes untouched, and the
relay connects to it as soon as it starts.

Options:
  --shard HOST:PORT        the shard's login server (required)
  --listen ADDR:PORT       where the client connects (default 127.0.0.1:2593); an address other
                           than 127.0.0.1 lets other machines connect too
  --game-port PORT         the relay's port for game connections (default: any free port)
  --client-version A.B.C.D the client's version when it sends none (clients before 6.0.4);
                           without it current clients are assumed
  --packet-length ID=LEN   the length of a packet id (hexadecimal 0x..; LEN decimal, 0 for
                           variable), for packets the shard adds or sizes differently; repeatable
  --socket PATH            Kestrune's hook socket (default: $KESTRUNE_HOOK_SOCKET,
                           else $XDG_RUNTIME_DIR/kestrune/hook.sock, else /tmp/kestrune-UID/hook.sock)
  --verdict-timeout MS     let a packet go on when Kestrune has not answered within MS (default 3000)
  --no-raise               never bring the client's window forward
  --uo-data DIR            the game's data folder, named to Kestrune so that it can show the
                           sounds' names and play them
  -h, --help               this text

Messages go to standard error; nothing the player types is ever shown. Exit status: 0 stopped
by SIGINT, SIGTERM or SIGHUP, 1 cannot listen or resolve the shard, 2 bad options.
)";

static bool ParseUnsigned(std::string_view text, unsigned long max, unsigned long& value, int base = 10) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(copy.c_str(), &end, base);
    return errno == 0 && *end == '\0' && value <= max;
}

// "HOST:PORT" (an IPv6 address in brackets: "[::1]:2593").
static bool SplitHostPort(std::string_view text, std::string& host, std::uint16_t& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    std::string_view h = text.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']')
        h = h.substr(1, h.size() - 2);
    unsigned long value = 0;
    if (h.empty() || !ParseUnsigned(text.substr(colon + 1), 65535, value) || value == 0)
        return false;
    host = h;
    port = static_cast<std::uint16_t>(value);
    return true;
}

ParseOutcome ParseRelayOptions(int argc, const char* const* argv, RelayOptions& options, std::string& error) {
    bool haveShard = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const char* value = nullptr;
        auto take = [&]() {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value (see --help)";
                return false;
            }
            value = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help")
            return ParseOutcome::Help;
        if (arg == "--no-raise") {
            options.raiseWindows = false;
            continue;
        }
        if (arg != "--shard" && arg != "--listen" && arg != "--game-port" && arg != "--client-version" &&
            arg != "--packet-length" && arg != "--socket" && arg != "--verdict-timeout" && arg != "--uo-data") {
            error = (arg.size() > 1 && arg[0] == '-' ? "unknown option " : "unexpected argument ") + std::string(arg) +
                    " (see --help)";
            return ParseOutcome::Bad;
        }
        if (!take())
            return ParseOutcome::Bad;
        const std::string_view text = value;
        unsigned long number = 0;
        if (arg == "--shard") {
            if (!SplitHostPort(text, options.shardHost, options.shardPort)) {
                error = "--shard: \"" + std::string(text) + "\" is not HOST:PORT with a port from 1 to 65535";
                return ParseOutcome::Bad;
            }
            haveShard = true;
        } else if (arg == "--listen") {
            std::string host;
            in_addr address{};
            if (!SplitHostPort(text, host, options.listenPort) || inet_pton(AF_INET, host.c_str(), &address) != 1) {
                error = "--listen: \"" + std::string(text) +
                        "\" is not ADDR:PORT with an IPv4 address such as "
                        "127.0.0.1 and a port from 1 to 65535";
                return ParseOutcome::Bad;
            }
            options.listenAddress = host;
        } else if (arg == "--game-port") {
            if (!ParseUnsigned(text, 65535, number)) {
                error = "--game-port: \"" + std::string(text) + "\" is not a port from 0 to 65535";
                return ParseOutcome::Bad;
            }
            options.gamePort = static_cast<std::uint16_t>(number);
        } else if (arg == "--client-version") {
            options.clientVersion = ClientVersion::Parse(text);
            if (!options.clientVersion) {
                error = "--client-version: \"" + std::string(text) + "\" is not a version such as 5.0.9.1";
                return ParseOutcome::Bad;
            }
        } else if (arg == "--packet-length") {
            const auto equals = text.find('=');
            unsigned long id = 0, length = 0;
            if (equals == std::string_view::npos || !text.starts_with("0x") ||
                !ParseUnsigned(text.substr(2, equals - 2), 255, id, 16) ||
                !ParseUnsigned(text.substr(equals + 1), 65535, length)) {
                error = "--packet-length: \"" + std::string(text) +
                        "\" is not ID=LEN with an id 0x00 to 0xff and a length from 0 (variable) to 65535";
                return ParseOutcome::Bad;
            }
            options.lengthChanges.emplace_back(static_cast<std::uint8_t>(id), static_cast<std::uint16_t>(length));
        } else if (arg == "--socket") {
            if (text.empty()) {
                error = "--socket needs a path";
                return ParseOutcome::Bad;
            }
            options.hookSocket = text;
        } else if (arg == "--verdict-timeout") {
            if (!ParseUnsigned(text, 600000, number) || number == 0) {
                error = "--verdict-timeout: \"" + std::string(text) +
                        "\" is not a number of milliseconds from 1 to "
                        "600000";
                return ParseOutcome::Bad;
            }
            options.verdictTimeout = std::chrono::milliseconds(number);
        } else if (arg == "--uo-data") {
            if (!ParseGameFolderOption(text, options.gameFolder, error))
                return ParseOutcome::Bad;
        }
    }
    if (!haveShard) {
        error = "--shard HOST:PORT is required: the shard's login server (see --help)";
        return ParseOutcome::Bad;
    }
    return ParseOutcome::Run;
}
