#include "HookSide.h"

HookSide::HookSide(HookLibrary& library, WatchListener* watchListener) : m_library(library), bridge(library, handlers) {
    handlers.SetWatchListener(watchListener);
    m_library.SetGameFolderListener(this);
    bridge.Start();
}

HookSide::~HookSide() {
    Stop();
    m_library.SetGameFolderListener(nullptr);
}

void HookSide::GameFolderChanged(const std::string& folder) {
    activeDialog.Use([&folder](ObservedDialog& dialog) { dialog.GameFolderNamed(folder); });
}

std::vector<std::pair<std::uint8_t, PacketHandler*>> HookSide::Observers() {
    return {
        {0x54, &soundObserver},  // a sound plays
        {0x20, &playerObserver}, // the player's position
    };
}

void HookSide::InstallObservers() {
    for (const auto& [packetId, observer] : Observers())
        handlers.Install(packetId, *observer);
}

void HookSide::UninstallObservers() {
    for (const auto& [packetId, observer] : Observers())
        handlers.Uninstall(packetId);
}
