#pragma once

#include "ActiveDialog.h"
#include "HookBridge.h"
#include "PacketHandler.h"
#include "PlayCommand.h"
#include "PlayerObserver.h"
#include "PlayerPosition.h"
#include "SocketHookLibrary.h"
#include "SoundCatalogue.h"
#include "SoundObserver.h"

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

// Kestrune's side of the hook socket as the program puts it together, without its window: the
// socket stand-in, the handler table that tells the peer what is watched, the bridge with its two
// threads, the catalogue and both observers, and a stand-in for the dialog whose auto-add records
// a played sound as the dialog would (appended, or left where it is). For the peers' tests: what
// a peer does here is what it does with the real program.
class ProgramSide final : private ObservedDialog {
public:
    explicit ProgramSide(const std::string& socketPath) {
        std::string error;
        m_library = SocketHookLibrary::Open(socketPath, error);
        if (!m_library)
            throw std::runtime_error("cannot open the hook socket: " + error);
        m_handlers.SetWatchListener(m_library.get());
        m_bridge = std::make_unique<HookBridge>(*m_library, m_handlers);
        m_bridge->Start();
        m_activeDialog.Publish(*this);
        m_handlers.Install(0x54, m_soundObserver);
        m_handlers.Install(0x20, m_playerObserver);
    }
    ~ProgramSide() {
        m_handlers.Uninstall(0x54);
        m_handlers.Uninstall(0x20);
        m_activeDialog.Withdraw();
        m_bridge->Stop();
    }
    ProgramSide(const ProgramSide&) = delete;
    ProgramSide& operator=(const ProgramSide&) = delete;

    SoundCatalogue& Catalogue() { return m_catalogue; }
    SocketHookLibrary& Library() { return *m_library; }
    PlayerPosition& Position() { return m_position; }
    void SetAutoAdd(bool on) { m_autoAdd.store(on); }
    void Mute(std::uint16_t number) { m_catalogue.AddOrUpdate(number, "", true, true, false, nullptr); }
    // The Play button with `numberText` in the number field: false when no client window is known.
    bool Play(std::string_view numberText) { return RunPlayCommand(*m_bridge, *m_library, m_position, numberText); }

private:
    bool AutoAddOn() const override { return m_autoAdd.load(); }
    void QueuePlayedSound(std::uint16_t number) override {
        const auto known = m_catalogue.Find(number);
        m_catalogue.AddOrUpdate(number, known ? known->comment : "", known && known->mute, true, false, nullptr);
    }

    SoundCatalogue m_catalogue;
    std::unique_ptr<SocketHookLibrary> m_library;
    PacketHandlerTable m_handlers;
    PlayerPosition m_position;
    ActiveDialog m_activeDialog;
    SoundObserver m_soundObserver{m_catalogue, m_activeDialog};
    PlayerObserver m_playerObserver{m_position};
    std::unique_ptr<HookBridge> m_bridge;
    std::atomic<bool> m_autoAdd{true};
};
