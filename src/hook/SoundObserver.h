#pragma once

#include "ActiveDialog.h"
#include "PacketHandler.h"

class SoundCatalogue;

// Packet 0x54: blocks a muted sound (whatever the settings), else, while auto-add is on, queues the
// sound for the dialog to record (never 0x0000 or 0xFFFF). The verdict comes from the catalogue's
// mute bits alone: nothing here waits for the dialog. A packet too short to hold the number passes
// unread.
class SoundObserver final : public PacketHandler {
public:
    SoundObserver(const SoundCatalogue& catalogue, ActiveDialog& activeDialog)
        : m_catalogue(catalogue), m_activeDialog(activeDialog) {}
    void HandlePacket(HookBridge& bridge) override;

private:
    const SoundCatalogue& m_catalogue;
    ActiveDialog& m_activeDialog;
};
