#pragma once

#include "ActiveDialog.h"
#include "HookBridge.h"
#include "HookLibrary.h"
#include "PacketHandler.h"
#include "PlayerObserver.h"
#include "PlayerPosition.h"
#include "SoundCatalogue.h"
#include "SoundObserver.h"

#include <cstdint>
#include <utility>
#include <vector>

// Kestrune's side of the game hook, put together in one place for the program, its tests and its
// benchmarks: the catalogue, the handler table, the player position, the dialog as the hook side
// sees it, the observers and the bridge. Built in that order, so packets flow (and pass) from the
// moment it is built; destroyed in reverse, the bridge's threads joined first.
//
// A new watched packet is one observer member and one line in Observers().
class HookSide final : private GameFolderListener {
public:
    // `watchListener` (null: nobody) is told which packet ids hold an observer.
    HookSide(HookLibrary& library, WatchListener* watchListener);
    ~HookSide(); // Stop()
    HookSide(const HookSide&) = delete;
    HookSide& operator=(const HookSide&) = delete;

    // Stops the bridge (threads joined). Idempotent.
    void Stop() { bridge.Stop(); }

    // The game's data folder as the game side last named it; empty while none has.
    std::string GameFolder() { return m_library.GameFolder(); }

    // The dialog's observers into their slots, and back out when the dialog ends.
    void InstallObservers();
    void UninstallObservers();

private:
    HookLibrary& m_library;

public:
    SoundCatalogue catalogue;
    PacketHandlerTable handlers;
    PlayerPosition playerPosition;
    ActiveDialog activeDialog;
    SoundObserver soundObserver{catalogue, activeDialog};
    PlayerObserver playerObserver{playerPosition};
    HookBridge bridge;

private:
    std::vector<std::pair<std::uint8_t, PacketHandler*>> Observers();
    // On the pump thread: handed to the dialog, which takes it up on its own thread.
    void GameFolderChanged(const std::string& folder) override;
};
