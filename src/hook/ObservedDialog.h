#pragma once

#include <cstdint>
#include <string>

// What the packet observers need of the dialog, reached only through ActiveDialog.
class ObservedDialog {
public:
    // m_bAutoAdd as it stands; safe from any thread, never waits.
    virtual bool AutoAddOn() const = 0;
    // A played sound for auto-add. Called on the pump thread; hands the sound to the dialog's own
    // thread, which records it later, and returns at once: never waits on that thread. Dropped
    // when a command has switched auto-add off meanwhile.
    virtual void QueuePlayedSound(std::uint16_t number) = 0;
    // The game side named the game's data folder. Called on the pump thread; returns at once.
    virtual void GameFolderNamed(const std::string& folder) {}

protected:
    ~ObservedDialog() = default;
};
