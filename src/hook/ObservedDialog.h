#pragma once

#include <cstdint>

// What the packet observers need of the dialog, reached only through ActiveDialog.
class ObservedDialog {
public:
    // m_bAutoAdd as it stands; safe from any thread, never waits.
    virtual bool AutoAddOn() const = 0;
    // Adds or moves a played sound and rebuilds the list. Called on the pump thread; carries the
    // work out on the dialog's own thread and returns when it is done, or at once when the dialog
    // is closing (then nothing is added).
    virtual void AutoAddPlayedSound(std::uint16_t number) = 0;

protected:
    ~ObservedDialog() = default;
};
