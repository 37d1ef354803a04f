// kestrune-sim: the game side of Kestrune's hook socket, for trying the program without a game.
// Connects, introduces a client window, plays a script of packets and prints what comes back.

#include "GameFolderOption.h"
#include "HookProtocol.h"
#include "ScriptSource.h"
#include "SimSession.h"
#include "StopSignals.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

static const char kUsage[] = R"(Usage: kestrune-sim [OPTION]... [SCRIPT]
Plays the game side of Kestrune's hook socket: sends the script's packets that the program
watches as events, waits for each verdict, and prints one line for every verdict, injected packet
and window raise received. Packets the program does not watch pass at once, unasked.
SCRIPT is a file; without one (or with "-") the script is read from standard input.

Script lines:
  player X Y Z     a 0x20 player packet at X, Y (0..65535) and Z (-128..255), decimal
  sound N          a 0x54 sound packet for sound N (hexadecimal) at the last player position
  raw CODE HEX...  any event: decimal event code, then the packet bytes in hexadecimal
  wait MS          pause MS milliseconds (injections are still printed)
  # comment        blank lines and text after '#' are ignored

Options:
  --socket PATH          the program's socket (default: $KESTRUNE_HOOK_SOCKET,
                         else $XDG_RUNTIME_DIR/kestrune/hook.sock, else /tmp/kestrune-UID/hook.sock)
  --window ID            client window id sent in HELLO, decimal or 0x-hexadecimal (default 0x00c0ffee)
  --no-window            send window id 0: the program then has no client to play into
  --loop                 repeat the script for ever
  --stay                 after the script, keep printing injections until stopped
  --all                  send every packet as an event, watched or not
  --connect-timeout MS   give up when the program is not there within MS (default: wait for ever)
  --verdict-timeout MS   go on when a verdict takes longer than MS (default 5000)
  --quiet-verdicts       do not print verdict lines
  --uo-data DIR          the game's data folder, named to the program so that it can show the
                         sounds' names and play them (the program reads the files itself)
  -h, --help             this text

With --loop or --stay the program going away is waited out: kestrune-sim reconnects. While
another peer is attached to the program, kestrune-sim says so once and tries again every second.
Exit status: 0 done or stopped by SIGINT/SIGTERM/SIGHUP, 1 the program was not there or went away,
2 bad options or an unreadable script.
)";

static bool ParseNumber(const char* text, unsigned long long max, unsigned long long& value) {
    if (*text == '-' || *text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 0);
    return errno == 0 && *end == '\0' && value <= max;
}

static bool ParseOptions(int argc, char** argv, SimOptions& options) {
    bool haveScript = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kestrune-sim: %s needs a value\n", argv[i]);
                return nullptr;
            }
            return argv[++i];
        };
        auto number = [&](unsigned long long max, unsigned long long& out) {
            const char* text = value();
            if (!text)
                return false;
            if (!ParseNumber(text, max, out)) {
                std::fprintf(stderr, "kestrune-sim: %s: \"%s\" is not a number from 0 to %llu\n", argv[i - 1], text,
                             max);
                return false;
            }
            return true;
        };
        unsigned long long n = 0;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(kSimExitDone);
        } else if (arg == "--socket") {
            const char* text = value();
            if (!text)
                return false;
            options.socketPath = text;
        } else if (arg == "--window") {
            if (!number(0xFFFFFFFFu, n))
                return false;
            options.window = static_cast<std::uint32_t>(n);
        } else if (arg == "--no-window") {
            options.window = 0;
        } else if (arg == "--loop") {
            options.loop = true;
        } else if (arg == "--stay") {
            options.stay = true;
        } else if (arg == "--all") {
            options.askAll = true;
        } else if (arg == "--connect-timeout") {
            if (!number(INT32_MAX, n))
                return false;
            options.connectTimeout = std::chrono::milliseconds(n);
        } else if (arg == "--verdict-timeout") {
            if (!number(INT32_MAX, n))
                return false;
            options.verdictTimeout = std::chrono::milliseconds(n);
        } else if (arg == "--uo-data") {
            const char* text = value();
            std::string error;
            if (!text)
                return false;
            if (!ParseGameFolderOption(text, options.gameFolder, error)) {
                std::fprintf(stderr, "kestrune-sim: %s\n", error.c_str());
                return false;
            }
        } else if (arg == "--quiet-verdicts") {
            options.printVerdicts = false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "kestrune-sim: unknown option %s (see --help)\n", argv[i]);
            return false;
        } else if (haveScript) {
            std::fprintf(stderr, "kestrune-sim: only one script, please (see --help)\n");
            return false;
        } else {
            options.script = argv[i];
            haveScript = true;
        }
    }
    return true;
}

int main(int argc, char** argv) {
    SimOptions options;
    options.socketPath = HookSocketPath();
    if (!ParseOptions(argc, argv, options))
        return kSimExitUsage;
    ScriptSource script;
    if (options.script == "-") {
        script.OpenStdin();
    } else {
        std::string error;
        if (!script.OpenFile(options.script, error)) {
            std::fprintf(stderr, "kestrune-sim: %s\n", error.c_str());
            return kSimExitUsage;
        }
    }
    InstallStopSignals();
    return SimSession(options, script).Run();
}
