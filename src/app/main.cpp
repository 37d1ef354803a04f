#include "ActiveDialog.h"
#include "CKestruneApp.h"
#include "DialogServices.h"
#include "HookBridge.h"
#include "PacketHandler.h"
#include "PlayerObserver.h"
#include "PlayerPosition.h"
#include "SocketHookLibrary.h"
#include "SoundCatalogue.h"
#include "SoundObserver.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Qt aborts with a toolkit message when it finds no display; say it in our own words first.
bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char* argv[]) {
    // The narrow code page of every text in memory is the locale's.
    std::setlocale(LC_ALL, "");

    if (!HasDisplay()) {
        std::fprintf(stderr, "kestrune: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are unset).\n"
                             "Start it from a desktop session, or under a virtual display: xvfb-run -a kestrune\n");
        return 1;
    }

    // Built in the start order: the catalogue, then the hook bridge with its threads, so packets
    // flow (and pass) from the first moment, then the application and its dialog. Destroyed in
    // reverse: the bridge's threads are joined before anything they use goes away.
    SoundCatalogue catalogue;

    std::string error;
    auto hookLibrary = SocketHookLibrary::Open(error);
    if (!hookLibrary) {
        std::fprintf(stderr, "kestrune: %s\n", error.c_str());
        return 1;
    }
    PacketHandlerTable handlers;
    PlayerPosition playerPosition;
    ActiveDialog activeDialog;
    SoundObserver soundObserver(catalogue, activeDialog);
    PlayerObserver playerObserver(playerPosition);
    HookBridge bridge(*hookLibrary, handlers);
    bridge.Start();

    {
        CKestruneApp app(argc, argv);
        DialogServices services{catalogue,      bridge,        *hookLibrary,  *hookLibrary,  handlers,
                                activeDialog,   playerPosition, soundObserver, playerObserver};
        app.InitInstance(services);
    }
    bridge.Stop();
    return 0;
}
