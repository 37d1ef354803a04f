#include "CKestruneApp.h"
#include "DialogServices.h"
#include "HookSide.h"
#include "SocketHookLibrary.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {

const char* Environment(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

// A local X display ":N" (or ":N.S") whose server socket is gone: a stale DISPLAY.
bool LocalX11DisplayIsGone(const std::string& display) {
    if (display.size() < 2 || display[0] != ':')
        return false;
    const std::string number = display.substr(1, display.find('.') - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return false;
    struct stat status {};
    return ::stat(("/tmp/.X11-unix/X" + number).c_str(), &status) != 0;
}

// Qt aborts with a toolkit message when it finds no display; say it in our own words first.
bool HasDisplay() {
    // Only the X11 platform is installed; Wayland desktops offer it through XWayland's DISPLAY.
    if (Environment("QT_QPA_PLATFORM"))
        return true;
    const char* display = Environment("DISPLAY");
    return display && !LocalX11DisplayIsGone(display);
}

} // namespace

int main(int argc, char* argv[]) {
    // The narrow code page of every text in memory is the locale's.
    std::setlocale(LC_ALL, "");
    CKestruneApp::CatchStopSignals();

    if (!HasDisplay()) {
        std::fprintf(stderr, "kestrune: no display to open the window on (DISPLAY is unset, or names an X server\n"
                             "that is not running).\n"
                             "Start it from a desktop session, or under a virtual display: xvfb-run -a kestrune\n");
        return 1;
    }

    // Built in the start order: the hook side with its threads, so packets flow (and pass) from
    // the first moment, then the application and its dialog. Destroyed in reverse: the bridge's
    // threads are joined before anything they use goes away.
    std::string error;
    auto hookLibrary = SocketHookLibrary::Open(error);
    if (!hookLibrary) {
        std::fprintf(stderr, "kestrune: %s\n", error.c_str());
        return 1;
    }
    HookSide hook(*hookLibrary, hookLibrary.get());
    {
        CKestruneApp app(argc, argv);
        DialogServices services{hook, *hookLibrary};
        app.InitInstance(services);
    }
    hook.Stop();
    return 0;
}
