#include "SoundObserver.h"

#include "GamePackets.h"
#include "HookBridge.h"
#include "SoundCatalogue.h"

void SoundObserver::HandlePacket(HookBridge& bridge) {
    const std::optional<std::uint16_t> read = SoundNumberOf(bridge.currentPacket);
    if (!read)
        return;
    const std::uint16_t number = *read;
    // Muted sounds are blocked whatever the dialog's settings, and never re-added or moved.
    if (m_catalogue.IsMuted(number)) {
        bridge.verdict = 1;
        return;
    }
    if (number == 0x0000 || number == 0xFFFF)
        return;
    m_activeDialog.Use([number](ObservedDialog& dialog) {
        if (dialog.AutoAddOn())
            dialog.QueuePlayedSound(number);
    });
}
