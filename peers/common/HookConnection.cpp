#include "HookConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

HookConnection::~HookConnection() {
    Close();
}

HookConnection::ConnectResult HookConnection::Connect(const std::string& path, std::uint32_t window,
                                                      std::string& error) {
    Close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) {
        error = "the hook socket path \"" + path + "\" is empty or longer than " +
                std::to_string(sizeof(address.sun_path) - 1) + " bytes";
        return ConnectResult::Failed;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot create a socket: ") + std::strerror(errno);
        return ConnectResult::Failed;
    }
    // A Unix socket connects at once or not at all: no half-open state to wait out.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int why = errno;
        close(fd);
        error = std::strerror(why);
        return why == ENOENT || why == ECONNREFUSED || why == EAGAIN ? ConnectResult::NotListening
                                                                     : ConnectResult::Failed;
    }
    // Whoever listens there gets our packets and may inject into the game: it must be our own user.
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 || credentials.uid != geteuid()) {
        close(fd);
        error = "the program listening at " + path + " runs as user " + std::to_string(credentials.uid) +
                ", not as this one";
        return ConnectResult::Failed;
    }
    m_fd = fd;
    m_attached = false;
    m_refused = false;
    m_watched = WatchSet();
    m_outstanding = 0;
    m_reader.Reset();
    m_unsent.Clear();
    m_closeReason.clear();
    m_folderWanted = false;
    QueueHello(window);
    return ConnectResult::Connected;
}

void HookConnection::Append(std::span<const std::uint8_t> bytes) {
    if (m_fd < 0)
        return;
    if (!m_unsent.Append(bytes))
        Close("the program has not read what we sent for too long");
}

void HookConnection::QueueHello(std::uint32_t window) {
    Append(EncodeHello(window));
}

bool HookConnection::SetGameFolder(const std::string& folder) {
    if (!folder.empty() && !IsValidGameFolder(folder))
        return false;
    m_gameFolder = folder;
    if (m_folderWanted && !m_gameFolder.empty())
        Append(EncodeGameFolder(m_gameFolder));
    return true;
}

bool HookConnection::QueueEvent(std::int32_t code, std::span<const std::uint8_t> packet) {
    if (packet.size() > kMaxFrameLength - 9)
        return false;
    Append(EncodeEvent(code, 0, packet));
    if (m_fd < 0)
        return false;
    ++m_outstanding;
    return true;
}

bool HookConnection::Flush() {
    if (m_fd < 0)
        return false;
    if (m_unsent.WriteTo(m_fd) == SendBuffer::WriteResult::Broken) {
        // Closed on us before the first WATCH: refused, as when a read finds the end first.
        m_refused = !m_attached;
        Close(m_refused ? "the program refused the connection: another peer is attached"
                        : std::string("cannot send to the program: ") + std::strerror(errno));
        return false;
    }
    return true;
}

bool HookConnection::Receive(const std::function<void(const Frame&)>& onFrame, std::size_t maxBytes) {
    for (std::size_t left = maxBytes; left > 0;) {
        if (m_fd < 0)
            return false;
        auto space = m_reader.WritableSpace();
        space = space.first(std::min(space.size(), left));
        const ssize_t got = recv(m_fd, space.data(), space.size(), MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (got <= 0) {
            m_refused = !m_attached;
            Close(got == 0 ? (m_refused ? "the program refused the connection: another peer is attached"
                                        : "the program closed the connection")
                           : std::string("cannot read from the program: ") + std::strerror(errno));
            return false;
        }
        m_reader.Commit(static_cast<std::size_t>(got));
        Frame frame;
        FrameReader::Result result;
        while ((result = m_reader.Next(frame)) == FrameReader::Result::Frame) {
            if (frame.type == FrameType::Watch) {
                m_watched = frame.watch;
                m_attached = true;
            } else if (frame.type == FrameType::Verdict && m_outstanding > 0) {
                --m_outstanding;
            } else if (frame.type == FrameType::FolderWanted) {
                m_folderWanted = true;
                if (!m_gameFolder.empty())
                    Append(EncodeGameFolder(m_gameFolder));
                continue;
            }
            onFrame(frame);
            if (m_fd < 0)
                return false; // the handler closed it
        }
        if (result == FrameReader::Result::Error) {
            Close("bad frame from the program: " + m_reader.Error());
            return false;
        }
        if (static_cast<std::size_t>(got) < space.size())
            return true; // the socket is drained
        left -= static_cast<std::size_t>(got);
    }
    return m_fd >= 0;
}

void HookConnection::Close(const std::string& reason) {
    if (m_fd < 0)
        return;
    close(m_fd);
    m_fd = -1;
    m_closeReason = reason;
    m_unsent.Clear();
    m_outstanding = 0;
}
