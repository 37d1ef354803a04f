#include "SimPeer.h"

#include "PacketText.h"
#include "StopSignals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static constexpr auto kRetryInterval = std::chrono::milliseconds(100);
static constexpr int kSendTimeoutSeconds = 5;

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

SimPeer::SimPeer(std::string path, std::uint32_t window, bool printVerdicts)
    : m_path(std::move(path)), m_window(window), m_printVerdicts(printVerdicts) {}

SimPeer::~SimPeer() {
    if (m_fd >= 0)
        close(m_fd);
}

SimPeer::Outcome SimPeer::Connect(std::chrono::milliseconds giveUp) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_path.empty() || m_path.size() >= sizeof(address.sun_path)) {
        std::fprintf(stderr, "kestrune-sim: the socket path \"%s\" is empty or too long\n", m_path.c_str());
        return Outcome::TimedOut;
    }
    std::memcpy(address.sun_path, m_path.data(), m_path.size());
    const auto deadline = Clock::now() + giveUp;
    bool toldWaiting = false;
    for (;;) {
        if (StopRequested())
            return Outcome::Stopped;
        // Non-blocking connect: a program that does not accept must not hang us.
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            const timeval sendTimeout{kSendTimeoutSeconds, 0};
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
            m_fd = fd;
            m_reader.Reset();
            const auto hello = EncodeHello(m_window);
            if (SendAll(hello)) {
                std::fprintf(stderr, "kestrune-sim: connected to %s (window %s)\n", m_path.c_str(),
                             WindowText(m_window).c_str());
                return Outcome::Done;
            }
        } else if (fd >= 0) {
            const int error = errno;
            close(fd);
            if (!toldWaiting) {
                std::fprintf(stderr, "kestrune-sim: waiting for the program at %s (%s)\n", m_path.c_str(),
                             std::strerror(error));
                toldWaiting = true;
            }
        }
        if (giveUp.count() >= 0 && Clock::now() >= deadline)
            return Outcome::TimedOut;
        auto pause = std::chrono::duration_cast<std::chrono::nanoseconds>(kRetryInterval);
        if (giveUp.count() >= 0)
            pause = std::min(pause, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()));
        if (pause.count() > 0 && WaitReady(nullptr, 0, pause) < 0 && errno != EINTR)
            return Outcome::TimedOut;
    }
}

bool SimPeer::SendEvent(std::int32_t code, std::span<const std::uint8_t> packet) {
    if (m_fd < 0)
        return false;
    if (packet.size() > kMaxFrameLength - 9) {
        std::fprintf(stderr, "kestrune-sim: packet of %zu bytes does not fit a frame; not sent\n", packet.size());
        return true;
    }
    m_unanswered.push_back(DescribeEvent(code, packet));
    return SendAll(EncodeEvent(code, 0, packet));
}

SimPeer::Outcome SimPeer::AwaitVerdicts(std::chrono::milliseconds timeout) {
    return Run(Clock::now() + timeout, false, true, -1);
}

SimPeer::Outcome SimPeer::Serve(std::chrono::milliseconds duration, int inputFd) {
    return Run(Clock::now() + duration, duration.count() < 0, false, inputFd);
}

SimPeer::Outcome SimPeer::Run(Clock::time_point deadline, bool endless, bool untilAnswered, int inputFd) {
    for (;;) {
        if (m_fd < 0)
            return Outcome::Gone;
        if (untilAnswered && m_unanswered.empty())
            return Outcome::Done;
        if (StopRequested())
            return Outcome::Stopped;
        auto left = std::chrono::nanoseconds(-1);
        if (!endless) {
            left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return untilAnswered ? Outcome::TimedOut : Outcome::Done;
        }
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {inputFd, POLLIN, 0}};
        if (WaitReady(fds, inputFd >= 0 ? 2 : 1, left) < 0) {
            if (errno == EINTR)
                continue;
            Close(std::string("cannot wait on the connection: ") + std::strerror(errno));
            return Outcome::Gone;
        }
        if (fds[0].revents != 0 && !ReadFrames())
            return Outcome::Gone;
        if (inputFd >= 0 && fds[1].revents != 0)
            return Outcome::InputReady;
    }
}

bool SimPeer::ReadFrames() {
    const auto space = m_reader.WritableSpace();
    const ssize_t got = recv(m_fd, space.data(), space.size(), MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        Close("the program closed the connection");
        return false;
    }
    if (got < 0)
        return true;
    m_reader.Commit(static_cast<std::size_t>(got));
    Frame frame;
    FrameReader::Result result;
    while ((result = m_reader.Next(frame)) == FrameReader::Result::Frame) {
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
            break; // the reader lets only the program's frame types through
        }
    }
    if (result == FrameReader::Result::Error) {
        Close("bad frame from the program: " + m_reader.Error());
        return false;
    }
    return true;
}

bool SimPeer::SendAll(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0) {
            Close(std::string("cannot send to the program: ") + std::strerror(errno));
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return true;
}

void SimPeer::Close(const std::string& why) {
    if (m_fd < 0)
        return;
    close(m_fd);
    m_fd = -1;
    std::fprintf(stderr, "kestrune-sim: %s\n", why.c_str());
    for (const auto& event : m_unanswered)
        std::fprintf(stderr, "kestrune-sim: no verdict for %s\n", event.c_str());
    m_unanswered.clear();
}

void SimPeer::PrintLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
