#include "SimSession.h"

#include "GamePacket.h"
#include "SimScript.h"
#include "StopSignals.h"

#include <cstdio>
#include <vector>

using std::chrono::milliseconds;

SimSession::SimSession(const SimOptions& options, ScriptSource& script)
    : m_options(options), m_script(script),
      m_peer(options.socketPath, options.window, options.printVerdicts, options.askAll) {
    m_peer.SetGameFolder(options.gameFolder);
}

int SimSession::Run() {
    if (!Reach())
        return m_exit;
    std::size_t index = 0;
    for (;;) {
        if (StopRequested())
            return kSimExitDone;
        if (index == m_script.Lines().size()) {
            if (!m_script.Complete()) {
                if (!WaitForInput())
                    return m_exit;
                continue;
            }
            // A pass that neither sent nor waited would repeat at full speed: nothing to loop.
            if (!m_options.loop || !m_passDidSomething) {
                if (m_options.loop)
                    std::fprintf(stderr, "kestrune-sim: the script sends nothing and waits for nothing; not looping\n");
                break;
            }
            index = 0;
            m_passDidSomething = false;
        }
        const std::size_t lineNumber = ++index;
        if (!RunLine(lineNumber, m_script.Lines()[lineNumber - 1]))
            return m_exit;
    }
    if (!m_options.stay)
        return kSimExitDone;
    for (;;) {
        const auto outcome = m_peer.Serve(milliseconds(-1));
        if (outcome == SimPeer::Outcome::Stopped)
            return kSimExitDone;
        if (!Recover(outcome))
            return m_exit;
    }
}

bool SimSession::Reach() {
    switch (m_peer.Connect(m_options.connectTimeout)) {
    case SimPeer::Outcome::Done:
        return true;
    case SimPeer::Outcome::Stopped:
        m_exit = kSimExitDone;
        return false;
    default:
        std::fprintf(stderr, "kestrune-sim: the program is not listening on %s; giving up\n",
                     m_options.socketPath.c_str());
        m_exit = kSimExitNoProgram;
        return false;
    }
}

// After an outcome other than Done: false to end with m_exit.
bool SimSession::Recover(SimPeer::Outcome outcome) {
    if (outcome == SimPeer::Outcome::Stopped) {
        m_exit = kSimExitDone;
        return false;
    }
    if (outcome == SimPeer::Outcome::Gone || !m_peer.Connected()) {
        if (!m_options.loop && !m_options.stay) {
            m_exit = kSimExitNoProgram;
            return false;
        }
        return Reach();
    }
    return true;
}

bool SimSession::WaitForInput() {
    const auto outcome = m_peer.Serve(milliseconds(-1), m_script.PendingFd());
    if (outcome == SimPeer::Outcome::InputReady) {
        m_script.ReadMore();
        return true;
    }
    return Recover(outcome);
}

bool SimSession::RunLine(std::size_t lineNumber, const std::string& line) {
    SimCommand command;
    std::string error;
    switch (ParseScriptLine(line, command, error)) {
    case ScriptLine::Nothing:
        return true;
    case ScriptLine::Error:
        std::fprintf(stderr, "kestrune-sim: script line %zu: %s; skipped\n", lineNumber, error.c_str());
        return true;
    case ScriptLine::Command:
        break;
    }
    m_passDidSomething = m_passDidSomething || command.kind != SimCommand::Kind::Wait || command.waitMs > 0;
    if (command.kind == SimCommand::Kind::Wait)
        return Recover(m_peer.Serve(milliseconds(command.waitMs)));

    std::vector<std::uint8_t> bytes;
    std::int32_t code = kEventFromServer;
    switch (command.kind) {
    case SimCommand::Kind::Player:
        m_x = command.x;
        m_y = command.y;
        m_z = static_cast<std::int8_t>(command.z);
        bytes = PlayerPacket(m_x, m_y, m_z);
        break;
    case SimCommand::Kind::Sound:
        bytes = SoundPacket(command.sound, m_x, m_y, m_z);
        break;
    case SimCommand::Kind::Raw:
        bytes = command.bytes;
        code = command.code;
        break;
    case SimCommand::Kind::Wait:
        break;
    }

    if (!m_peer.Connected() && !Recover(SimPeer::Outcome::Gone))
        return false;
    if (!m_peer.SendEvent(code, bytes))
        return Recover(SimPeer::Outcome::Gone);
    const auto outcome = m_peer.AwaitVerdicts(m_options.verdictTimeout);
    if (outcome == SimPeer::Outcome::TimedOut) {
        // The verdict is still matched to its event if it comes later.
        std::fprintf(stderr, "kestrune-sim: script line %zu: no verdict within %lld ms; going on\n", lineNumber,
                     static_cast<long long>(m_options.verdictTimeout.count()));
        return true;
    }
    return outcome == SimPeer::Outcome::Done || Recover(outcome);
}
