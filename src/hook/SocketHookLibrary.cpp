#include "SocketHookLibrary.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

static std::string Reason(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

static bool FillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

static std::string ParentFolder(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// The folder keeps other users away from the socket, so it must really be ours.
static bool PrepareFolder(const std::string& folder, std::string& error) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = Reason("cannot create the hook socket folder " + folder);
        return false;
    }
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) {
        error = Reason("cannot examine the hook socket folder " + folder);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = "the hook socket folder " + folder + " is not a directory (a symbolic link is not accepted)";
        return false;
    }
    if (info.st_uid != geteuid()) {
        error = "the hook socket folder " + folder + " belongs to another user (uid " + std::to_string(info.st_uid) +
                "); refusing to use it";
        return false;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = "the hook socket folder " + folder + " is writable by group or others; refusing to use it";
        return false;
    }
    return true;
}

// A socket file at the path is either a live program's (left alone) or a stale one (removed).
static bool ClearStaleSocket(const std::string& path, const sockaddr_un& address, std::string& error) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return true;
        error = Reason("cannot examine " + path);
        return false;
    }
    if (!S_ISSOCK(info.st_mode)) {
        error = path + " exists and is not a socket; not replacing it";
        return false;
    }
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        error = Reason("cannot create a socket");
        return false;
    }
    const int result = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int connectError = errno;
    close(probe);
    // A full backlog (EAGAIN) means someone is listening too.
    if (result == 0 || connectError == EAGAIN || connectError == EINPROGRESS) {
        error = "another program is already listening on " + path + "; is Kestrune already running?";
        return false;
    }
    if (connectError != ECONNREFUSED && connectError != ENOENT) {
        errno = connectError;
        error = Reason("cannot probe the existing socket " + path);
        return false;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = Reason("cannot remove the stale socket " + path);
        return false;
    }
    return true;
}

std::unique_ptr<SocketHookLibrary> SocketHookLibrary::Open(std::string& error) {
    return Open(HookSocketPath(), error);
}

std::unique_ptr<SocketHookLibrary> SocketHookLibrary::Open(const std::string& path, std::string& error) {
    sockaddr_un address{};
    if (!FillAddress(path, address)) {
        error = "the hook socket path \"" + path + "\" is empty or longer than " +
                std::to_string(sizeof(address.sun_path) - 1) + " bytes";
        return nullptr;
    }
    if (!PrepareFolder(ParentFolder(path), error) || !ClearStaleSocket(path, address, error))
        return nullptr;

    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = Reason("cannot create a socket");
        return nullptr;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = errno == EADDRINUSE ? "another program took " + path + " while Kestrune was starting"
                                    : Reason("cannot bind the hook socket " + path);
        close(fd);
        return nullptr;
    }
    struct stat info {};
    // The folder already keeps others out while the mode is tightened.
    if (chmod(path.c_str(), 0600) != 0 || listen(fd, 8) != 0 || stat(path.c_str(), &info) != 0) {
        error = Reason("cannot set up the hook socket " + path);
        close(fd);
        unlink(path.c_str());
        return nullptr;
    }
    return std::unique_ptr<SocketHookLibrary>(new SocketHookLibrary(path, fd, info.st_dev, info.st_ino));
}

SocketHookLibrary::SocketHookLibrary(std::string path, int listenFd, dev_t device, ino_t inode)
    : m_path(std::move(path)), m_listenFd(listenFd), m_device(device), m_inode(inode) {}

SocketHookLibrary::~SocketHookLibrary() {
    if (m_peerFd >= 0)
        close(m_peerFd);
    close(m_listenFd);
    // Only our own socket file: a later program may have replaced it.
    struct stat info {};
    if (lstat(m_path.c_str(), &info) == 0 && info.st_dev == m_device && info.st_ino == m_inode)
        unlink(m_path.c_str());
}

std::string SocketHookLibrary::LastProtocolError() const {
    std::lock_guard lock(m_errorLock);
    return m_lastProtocolError;
}

std::uint8_t SocketHookLibrary::GetState() {
    return m_attached.load() && !m_peerBroken.load() ? 1 : 0;
}

std::uint32_t SocketHookLibrary::GetClientWindow() {
    return m_peerBroken.load() ? 0 : m_window.load();
}

bool SocketHookLibrary::GetEvent(Event& event) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kEventWaitMs);
    for (;;) {
        if (m_peerFd >= 0 && m_peerBroken.load())
            DropPeer({});
        if (m_peerFd >= 0) {
            Frame frame;
            FrameReader::Result result;
            while ((result = m_reader.Next(frame)) == FrameReader::Result::Frame) {
                if (frame.type == FrameType::Hello) {
                    m_window.store(frame.window);
                    continue;
                }
                event.code = frame.code;
                event.value = frame.value;
                event.packet = frame.packet.empty() ? nullptr : frame.packet.data();
                event.length = frame.packet.size();
                m_verdictOwed = true;
                m_eventGeneration = m_generation;
                return true;
            }
            if (result == FrameReader::Result::Error) {
                DropPeer(m_reader.Error());
                continue;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_peerFd, POLLIN, 0}}; // a negative fd is skipped
        const timespec timeout{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
        if (ppoll(fds, 2, &timeout, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        // The old peer first: one that has just left makes room for one that is waiting.
        if (fds[1].revents != 0)
            ReadFromPeer();
        if (fds[0].revents != 0)
            AcceptPending();
    }
}

void SocketHookLibrary::SetVerdict(std::uint32_t verdict) {
    if (!m_verdictOwed)
        return;
    m_verdictOwed = false;
    // The event came from a peer that has been replaced since: its verdict means nothing to the new one.
    if (m_eventGeneration != m_generation)
        return;
    const auto frame = EncodeVerdict(verdict);
    Send(frame.data(), frame.size(), nullptr, 0);
}

void SocketHookLibrary::InjectToClient(const std::uint8_t* data, std::size_t length) {
    Inject(0, data, length);
}

void SocketHookLibrary::InjectToServer(const std::uint8_t* data, std::size_t length) {
    Inject(1, data, length);
}

void SocketHookLibrary::RaiseWindow(std::uint32_t window) {
    const auto frame = EncodeRaise(window);
    Send(frame.data(), frame.size(), nullptr, 0);
}

void SocketHookLibrary::Inject(std::uint8_t direction, const std::uint8_t* data, std::size_t length) {
    if (length > kMaxInjectPacket || (data == nullptr && length != 0))
        return;
    const auto head = EncodeInjectHead(direction, length);
    Send(head.data(), head.size(), data, length);
}

void SocketHookLibrary::WatchedPacketsChanged(const WatchSet& watched) {
    std::lock_guard lock(m_writeLock);
    m_watched = watched;
    const auto frame = EncodeWatch(m_watched);
    SendLocked(frame.data(), frame.size(), nullptr, 0);
}

void SocketHookLibrary::Send(const std::uint8_t* head, std::size_t headLength, const std::uint8_t* tail,
                             std::size_t tailLength) {
    std::lock_guard lock(m_writeLock);
    SendLocked(head, headLength, tail, tailLength);
}

void SocketHookLibrary::SendLocked(const std::uint8_t* head, std::size_t headLength, const std::uint8_t* tail,
                                   std::size_t tailLength) {
    if (m_peerFd < 0 || m_peerBroken.load())
        return;
    iovec parts[2] = {{const_cast<std::uint8_t*>(head), headLength}, {const_cast<std::uint8_t*>(tail), tailLength}};
    iovec* next = parts;
    int count = tailLength > 0 ? 2 : 1;
    while (count > 0) {
        msghdr message{};
        message.msg_iov = next;
        message.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t sent = sendmsg(m_peerFd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            // Gone, or not reading (the send timeout ran out): a half-written frame cannot be
            // taken back, so the peer is done for. The pump closes it.
            m_peerBroken.store(true);
            shutdown(m_peerFd, SHUT_RDWR);
            return;
        }
        auto done = static_cast<std::size_t>(sent);
        while (count > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
}

void SocketHookLibrary::AcceptPending() {
    for (;;) {
        const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return; // EAGAIN: none left
        }
        ucred credentials{};
        socklen_t size = sizeof(credentials);
        const bool ours =
            getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.uid == geteuid();
        if (m_peerFd >= 0 || !ours) {
            close(fd); // one peer at a time, and only our own user's
            continue;
        }
        const timeval sendTimeout{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
        m_reader.Reset();
        ++m_generation;
        {
            std::lock_guard lock(m_writeLock);
            m_peerFd = fd;
            m_window.store(0);
            m_attached.store(true);
            const auto watch = EncodeWatch(m_watched);
            SendLocked(watch.data(), watch.size(), nullptr, 0);
        }
    }
}

bool SocketHookLibrary::ReadFromPeer() {
    const auto space = m_reader.WritableSpace();
    const ssize_t got = recv(m_peerFd, space.data(), space.size(), MSG_DONTWAIT);
    if (got > 0) {
        m_reader.Commit(static_cast<std::size_t>(got));
        return true;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return true;
    DropPeer({});
    return false;
}

void SocketHookLibrary::DropPeer(const std::string& protocolError) {
    if (!protocolError.empty()) {
        std::lock_guard lock(m_errorLock);
        m_lastProtocolError = protocolError;
    }
    {
        std::lock_guard lock(m_writeLock);
        close(m_peerFd);
        m_peerFd = -1;
        m_attached.store(false);
        m_window.store(0);
        m_peerBroken.store(false);
    }
    m_reader.Reset();
}
