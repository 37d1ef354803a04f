#include "SocketHookLibrary.h"

#include <cerrno>
#include <chrono>
#include <sys/eventfd.h>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
    return Open(path, error, Limits{});
}

std::unique_ptr<SocketHookLibrary> SocketHookLibrary::Open(const std::string& path, std::string& error,
                                                           Limits limits) {
    sockaddr_un address{};
    if (!FillAddress(path, address)) {
        error = "the hook socket path \"" + path + "\" is empty or longer than " +
                std::to_string(sizeof(address.sun_path) - 1) + " bytes";
        return nullptr;
    }
    if (!PrepareFolder(ParentFolder(path), error) || !ClearStaleSocket(path, address, error))
        return nullptr;

    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        error = Reason("cannot create an event descriptor");
        return nullptr;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = Reason("cannot create a socket");
        close(wakeFd);
        return nullptr;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = errno == EADDRINUSE ? "another program took " + path + " while Kestrune was starting"
                                    : Reason("cannot bind the hook socket " + path);
        close(fd);
        close(wakeFd);
        return nullptr;
    }
    struct stat info {};
    // The folder already keeps others out while the mode is tightened.
    if (chmod(path.c_str(), 0600) != 0 || listen(fd, 8) != 0 || stat(path.c_str(), &info) != 0) {
        error = Reason("cannot set up the hook socket " + path);
        close(fd);
        close(wakeFd);
        unlink(path.c_str());
        return nullptr;
    }
    return std::unique_ptr<SocketHookLibrary>(
        new SocketHookLibrary(path, fd, wakeFd, info.st_dev, info.st_ino, limits));
}

SocketHookLibrary::SocketHookLibrary(std::string path, int listenFd, int wakeFd, dev_t device, ino_t inode,
                                     Limits limits)
    : m_path(std::move(path)), m_listenFd(listenFd), m_wakeFd(wakeFd), m_device(device), m_inode(inode),
      m_outbox(limits.maxUnsent, limits.stallLimit) {}

SocketHookLibrary::~SocketHookLibrary() {
    if (m_peerFd >= 0)
        close(m_peerFd);
    close(m_listenFd);
    close(m_wakeFd);
    // Only our own socket file: a later program may have replaced it.
    struct stat info {};
    if (lstat(m_path.c_str(), &info) == 0 && info.st_dev == m_device && info.st_ino == m_inode)
        unlink(m_path.c_str());
}

std::string SocketHookLibrary::LastDropReason() const {
    std::lock_guard lock(m_reasonLock);
    return m_lastDropReason;
}

std::uint8_t SocketHookLibrary::GetState() {
    return m_attached.load() && !m_peerBroken.load() ? 1 : 0;
}

std::uint32_t SocketHookLibrary::GetClientWindow() {
    return m_peerBroken.load() ? 0 : m_window.load();
}

void SocketHookLibrary::Wake() {
    m_wakeRequested.store(true);
    Nudge();
}

void SocketHookLibrary::Nudge() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = write(m_wakeFd, &one, sizeof one);
}

bool SocketHookLibrary::GetEvent(Event& event) {
    using Clock = PeerOutbox::Clock;
    for (;;) {
        if (m_peerFd >= 0 && m_peerBroken.load()) {
            std::string reason;
            {
                std::lock_guard lock(m_outLock);
                reason = m_brokenReason;
            }
            DropPeer(reason);
        }
        if (m_peerFd >= 0) {
            Frame frame;
            FrameReader::Result result;
            while ((result = m_reader.Next(frame)) == FrameReader::Result::Frame) {
                if (frame.type == FrameType::Hello) {
                    m_window.store(frame.window);
                    continue;
                }
                if (frame.type == FrameType::GameFolder) {
                    const std::string folder(frame.folder);
                    {
                        std::lock_guard lock(m_folderLock);
                        m_gameFolder = folder;
                    }
                    if (GameFolderListener* listener = m_folderListener.load())
                        listener->GameFolderChanged(folder);
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
                DropPeer("the peer broke the protocol: " + m_reader.Error());
                continue;
            }
        }
        if (m_wakeRequested.exchange(false))
            return false;

        // Nothing in hand: send what waits (the verdicts of a whole batch go out together), then
        // sleep until the peer, a new connection, a writer or the stop wakes us.
        Clock::time_point deadline = Clock::time_point::max();
        bool pending = false;
        {
            std::lock_guard lock(m_outLock);
            FlushLocked();
            pending = m_outbox.Pending();
            deadline = m_outbox.StallDeadline();
        }
        if (m_peerFd >= 0 && m_peerBroken.load())
            continue;
        const auto now = Clock::now();
        const bool listening = now >= m_acceptResumes;
        if (!listening)
            deadline = std::min(deadline, m_acceptResumes);
        pollfd fds[3] = {{m_wakeFd, POLLIN, 0},
                         {listening ? m_listenFd : -1, POLLIN, 0},
                         {m_peerFd, static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0}};
        timespec timeout{};
        const timespec* limit = nullptr;
        if (deadline != Clock::time_point::max()) {
            const auto left = std::max(Clock::duration::zero(), deadline - now);
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
            limit = &timeout;
        }
        if (ppoll(fds, 3, limit, nullptr) < 0)
            continue; // EINTR; nothing else can fail with these arguments
        if (fds[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t ignored = read(m_wakeFd, &count, sizeof count);
        }
        if ((fds[2].revents & POLLOUT) != 0) {
            std::lock_guard lock(m_outLock);
            FlushLocked();
        }
        // The old peer first: one that has just left makes room for one that is waiting.
        if ((fds[2].revents & ~POLLOUT) != 0)
            ReadFromPeer();
        if (fds[1].revents != 0)
            AcceptPending();
        if (m_peerFd >= 0) {
            std::lock_guard lock(m_outLock);
            if (m_outbox.Stalled(Clock::now()))
                MarkBrokenLocked("the peer took none of " + std::to_string(m_outbox.Unsent()) +
                                 " waiting bytes for too long");
        }
    }
}

std::string SocketHookLibrary::GameFolder() {
    std::lock_guard lock(m_folderLock);
    return m_gameFolder;
}

void SocketHookLibrary::SetGameFolderListener(GameFolderListener* listener) {
    m_folderListener.store(listener);
}

void SocketHookLibrary::SetVerdict(std::uint32_t verdict) {
    if (!m_verdictOwed)
        return;
    m_verdictOwed = false;
    // The event came from a peer that has been replaced since: its verdict means nothing to the new one.
    if (m_eventGeneration != m_generation)
        return;
    // With more events already in, the pump is back at once: their verdicts go out together.
    const auto frame = EncodeVerdict(verdict);
    Send(frame, {}, !m_reader.HasFrame());
}

void SocketHookLibrary::InjectToClient(const std::uint8_t* data, std::size_t length) {
    Inject(0, data, length);
}

void SocketHookLibrary::InjectToServer(const std::uint8_t* data, std::size_t length) {
    Inject(1, data, length);
}

void SocketHookLibrary::RaiseWindow(std::uint32_t window) {
    const auto frame = EncodeRaise(window);
    Send(frame, {}, true);
}

void SocketHookLibrary::WatchedPacketsChanged(const WatchSet& watched) {
    std::lock_guard lock(m_outLock);
    m_watched = watched;
    const auto frame = EncodeWatch(m_watched);
    SendLocked(frame, {}, true);
}

void SocketHookLibrary::Inject(std::uint8_t direction, const std::uint8_t* data, std::size_t length) {
    if (length > kMaxInjectPacket || (data == nullptr && length != 0))
        return;
    const auto head = EncodeInjectHead(direction, length);
    Send(head, {data, length}, true);
}

void SocketHookLibrary::Send(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail, bool now) {
    std::lock_guard lock(m_outLock);
    SendLocked(head, tail, now);
}

void SocketHookLibrary::SendLocked(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail,
                                   bool now) {
    if (m_peerBroken.load())
        return;
    const auto at = PeerOutbox::Clock::now();
    const bool waited = m_outbox.Pending();
    if (!m_outbox.Queue(head, tail, at)) {
        MarkBrokenLocked("the peer left more than " + std::to_string(m_outbox.MaxUnsent()) + " bytes unread");
        return;
    }
    if (!now)
        return;
    FlushLocked();
    // What the socket did not take is the pump's to write; it must know to wait for that.
    if (m_outbox.Pending() && !waited)
        Nudge();
}

void SocketHookLibrary::FlushLocked() {
    if (m_outbox.Fd() < 0 || m_peerBroken.load())
        return;
    if (m_outbox.Flush(PeerOutbox::Clock::now()) == PeerOutbox::FlushResult::Broken)
        MarkBrokenLocked({}); // gone: it left by itself
}

void SocketHookLibrary::MarkBrokenLocked(const std::string& reason) {
    if (m_peerBroken.exchange(true))
        return;
    m_brokenReason = reason;
    if (!reason.empty()) {
        std::lock_guard lock(m_reasonLock); // known from the moment the peer stops counting
        m_lastDropReason = reason;
    }
    Nudge();
}

void SocketHookLibrary::AcceptPending() {
    for (;;) {
        const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors or memory: the waiting connection stays queued, and polling
                // for it now would only spin. The attached peer is served meanwhile.
                m_acceptResumes = PeerOutbox::Clock::now() + kAcceptBackOff;
            }
            return;
        }
        ucred credentials{};
        socklen_t size = sizeof(credentials);
        const bool ours =
            getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.uid == geteuid();
        if (ours && m_peerFd >= 0 && PeerHasLeft())
            DropPeer({});
        if (m_peerFd >= 0 || !ours) {
            close(fd); // one peer at a time, and only our own user's
            continue;
        }
        m_reader.Reset();
        ++m_generation;
        std::lock_guard lock(m_outLock);
        m_peerFd = fd;
        m_outbox.Attach(fd);
        m_brokenReason.clear();
        m_peerBroken.store(false);
        m_window.store(0);
        m_attached.store(true);
        // Taking a peer is telling it what to ask about, and that it may name the game's folder
        // (a program that does not say so would drop a peer for it).
        const auto watch = EncodeWatch(m_watched);
        const auto folderWanted = EncodeFolderWanted();
        SendLocked(watch, folderWanted, true);
    }
}

// Closed its end: whatever it left unread by us, it will never read a verdict again.
bool SocketHookLibrary::PeerHasLeft() const {
    pollfd fd{m_peerFd, 0, 0};
    return poll(&fd, 1, 0) > 0 && (fd.revents & (POLLHUP | POLLERR)) != 0;
}

void SocketHookLibrary::ReadFromPeer() {
    const auto space = m_reader.WritableSpace();
    const ssize_t got = recv(m_peerFd, space.data(), space.size(), MSG_DONTWAIT);
    if (got > 0) {
        m_reader.Commit(static_cast<std::size_t>(got));
        return;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    DropPeer({});
}

void SocketHookLibrary::DropPeer(const std::string& reason) {
    if (!reason.empty()) {
        std::lock_guard lock(m_reasonLock);
        m_lastDropReason = reason;
    }
    {
        std::lock_guard lock(m_outLock);
        m_outbox.Attach(-1);
        close(m_peerFd);
        m_peerFd = -1;
        m_attached.store(false);
        m_window.store(0);
        m_brokenReason.clear();
        m_peerBroken.store(false);
    }
    m_reader.Reset();
}
