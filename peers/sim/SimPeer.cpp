#include "SimPeer.h"

#include "PacketText.h"
#include "StopSignals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

static std::string WindowText(std::uint32_t window) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", window);
    return text;
}

static std::string VerdictText(std::uint32_t verdict) {
    if (verdict == 0)
        return "passed";
    if (verdict == 1)
        return "blocked";
    return "verdict " + std::to_string(verdict);
}

SimPeer::SimPeer(std::string path, std::uint32_t window, bool printVerdicts, bool askAll)
    : m_path(std::move(path)), m_window(window), m_printVerdicts(printVerdicts), m_askAll(askAll) {}

SimPeer::Outcome SimPeer::Connect(std::chrono::milliseconds giveUp) {
    const auto deadline = Clock::now() + giveUp;
    bool toldWaiting = false;
    for (;;) {
        if (StopRequested())
            return Outcome::Stopped;
        std::string error;
        auto pause = kRetryInterval;
        switch (m_connection.Connect(m_path, m_window, error)) {
        case HookConnection::ConnectResult::Failed:
            std::fprintf(stderr, "kestrune-sim: %s\n", error.c_str());
            return Outcome::TimedOut;
        case HookConnection::ConnectResult::NotListening:
            if (!toldWaiting) {
                std::fprintf(stderr, "kestrune-sim: waiting for the program at %s (%s)\n", m_path.c_str(),
                             error.c_str());
                toldWaiting = true;
            }
            break;
        case HookConnection::ConnectResult::Connected: {
            const auto outcome = Run(deadline, giveUp.count() < 0, false, true, -1);
            if (outcome == Outcome::Done) {
                std::fprintf(stderr, "kestrune-sim: connected to %s (window %s)\n", m_path.c_str(),
                             WindowText(m_window).c_str());
                m_toldBusy = false;
                return Outcome::Done;
            }
            if (outcome != Outcome::Gone)
                return outcome;
            if (m_connection.WasRefused()) {
                if (!m_toldBusy) {
                    std::fprintf(stderr, "kestrune-sim: another peer is attached to the program at %s; waiting for "
                                         "it to leave\n", m_path.c_str());
                    m_toldBusy = true;
                }
                pause = kBusyRetryInterval;
            }
            break;
        }
        }
        if (giveUp.count() >= 0 && Clock::now() >= deadline)
            return Outcome::TimedOut;
        auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(pause);
        if (giveUp.count() >= 0)
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()));
        if (wait.count() > 0 && WaitReady(nullptr, 0, wait) < 0 && errno != EINTR)
            return Outcome::TimedOut;
    }
}

bool SimPeer::SendEvent(std::int32_t code, std::span<const std::uint8_t> packet) {
    if (!m_connection.IsOpen())
        return false;
    const bool asked = m_askAll || (!packet.empty() && m_connection.Watched().Contains(packet[0]));
    if (!asked) {
        if (m_printVerdicts)
            PrintLine("passed " + DescribeEvent(code, packet) + " (not watched)");
        return true;
    }
    if (!m_connection.QueueEvent(code, packet)) {
        if (!m_connection.IsOpen())
            return false;
        std::fprintf(stderr, "kestrune-sim: packet of %zu bytes does not fit a frame; not sent\n", packet.size());
        return true;
    }
    m_unanswered.push_back(DescribeEvent(code, packet));
    if (!m_connection.Flush()) {
        Lost();
        return false;
    }
    return true;
}

SimPeer::Outcome SimPeer::AwaitVerdicts(std::chrono::milliseconds timeout) {
    return Run(Clock::now() + timeout, false, true, false, -1);
}

SimPeer::Outcome SimPeer::Serve(std::chrono::milliseconds duration, int inputFd) {
    return Run(Clock::now() + duration, duration.count() < 0, false, false, inputFd);
}

SimPeer::Outcome SimPeer::Run(Clock::time_point deadline, bool endless, bool untilAnswered, bool untilAttached,
                              int inputFd) {
    for (;;) {
        if (!m_connection.IsOpen())
            return Outcome::Gone;
        if ((untilAnswered && m_unanswered.empty()) || (untilAttached && m_connection.Attached()))
            return Outcome::Done;
        if (StopRequested())
            return Outcome::Stopped;
        auto left = std::chrono::nanoseconds(-1);
        if (!endless) {
            left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return untilAnswered || untilAttached ? Outcome::TimedOut : Outcome::Done;
        }
        const short events = static_cast<short>(POLLIN | (m_connection.WantsWrite() ? POLLOUT : 0));
        pollfd fds[2] = {{m_connection.Fd(), events, 0}, {inputFd, POLLIN, 0}};
        if (WaitReady(fds, inputFd >= 0 ? 2 : 1, left) < 0) {
            if (errno == EINTR)
                continue;
            m_connection.Close(std::string("cannot wait on the connection: ") + std::strerror(errno));
            Lost();
            return Outcome::Gone;
        }
        if ((fds[0].revents & POLLOUT) != 0 && !m_connection.Flush()) {
            Lost();
            return Outcome::Gone;
        }
        if ((fds[0].revents & ~POLLOUT) != 0 && !m_connection.Receive([this](const Frame& f) { OnFrame(f); })) {
            Lost();
            return Outcome::Gone;
        }
        if (inputFd >= 0 && fds[1].revents != 0)
            return Outcome::InputReady;
    }
}

void SimPeer::OnFrame(const Frame& frame) {
    switch (frame.type) {
    case FrameType::Verdict:
        if (m_unanswered.empty()) {
            PrintLine(VerdictText(frame.verdict) + " (no event awaiting a verdict)");
            break;
        }
        if (m_printVerdicts)
            PrintLine(VerdictText(frame.verdict) + " " + m_unanswered.front());
        m_unanswered.pop_front();
        break;
    case FrameType::Inject:
        PrintLine(std::string(frame.direction == 0 ? "inject to client: " : "inject to server: ") +
                  DescribePacket(frame.packet));
        break;
    case FrameType::Raise:
        PrintLine("raise window " + WindowText(frame.window));
        break;
    default:
        break; // WATCH is the connection's; the reader lets only the program's frame types through
    }
}

// The connection has closed: say why, unless it was a refusal (Connect says that once).
void SimPeer::Lost() {
    if (m_connection.WasRefused())
        return;
    std::fprintf(stderr, "kestrune-sim: %s\n", m_connection.CloseReason().c_str());
    for (const auto& event : m_unanswered)
        std::fprintf(stderr, "kestrune-sim: no verdict for %s\n", event.c_str());
    m_unanswered.clear();
}

void SimPeer::PrintLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
