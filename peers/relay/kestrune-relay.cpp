// kestrune-relay: sits between a game client and its shard and lets Kestrune hear the game.

#include "Relay.h"
#include "RelayOptions.h"
#include "StopSignals.h"

#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    RelayOptions options;
    std::string error;
    switch (ParseRelayOptions(argc, argv, options, error)) {
    case ParseOutcome::Help:
        std::fputs(kRelayUsage, stdout);
        return 0;
    case ParseOutcome::Bad:
        std::fprintf(stderr, "kestrune-relay: %s\n", error.c_str());
        return 2;
    case ParseOutcome::Run:
        break;
    }
    auto say = [](const std::string& line) { std::fprintf(stderr, "kestrune-relay: %s\n", line.c_str()); };
    auto relay = Relay::Open(options, say, error);
    if (!relay) {
        say(error);
        return 1;
    }
    InstallStopSignals();
    std::signal(SIGPIPE, SIG_IGN);

    const std::string address = options.listenAddress + ":" + std::to_string(relay->LoginPort());
    say("relaying " + address + " to the shard " + relay->ShardText() + "; game connections on port " +
        std::to_string(relay->GamePort()) + ". Point the game client at " + address + " with its encryption off");
    if (options.listenAddress.rfind("127.", 0) != 0)
        say("listening on " + options.listenAddress + ": other machines can connect to this relay");
    relay->Run(StopFlag());
    say("stopped");
    return 0;
}
