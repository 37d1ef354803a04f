#include "Relay.h"

#include "GamePacket.h"
#include "PeerProcess.h"
#include "StopSignals.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace {

constexpr std::size_t kMaxRedirects = 64;

int Listen(const std::string& address, std::uint16_t port, std::uint16_t& bound, std::string& error) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 || listen(fd, 16) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + " (" + std::strerror(errno) + ")";
        if (fd >= 0)
            close(fd);
        return -1;
    }
    socklen_t length = sizeof where;
    getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length);
    bound = ntohs(where.sin_port);
    return fd;
}

} // namespace

Relay::Relay(const RelayOptions& options, Log log)
    : m_options(options), m_log(std::move(log)),
      m_hookPath(options.hookSocket.empty() ? HookSocketPath() : options.hookSocket) {
    m_hook.SetGameFolder(options.gameFolder); // named on every connection to a program that asks
}

std::unique_ptr<Relay> Relay::Open(const RelayOptions& options, Log log, std::string& error) {
    std::unique_ptr<Relay> relay(new Relay(options, std::move(log)));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(options.shardPort);
    const int result = getaddrinfo(options.shardHost.c_str(), port.c_str(), &hints, &found);
    if (result != 0 || !found) {
        error = "cannot find the shard " + options.shardHost + " (" + gai_strerror(result) + ")";
        return nullptr;
    }
    const addrinfo* chosen = found;
    for (const addrinfo* a = found; a; a = a->ai_next)
        if (a->ai_family == AF_INET) {
            chosen = a; // the game's redirects are IPv4
            break;
        }
    std::memcpy(&relay->m_shard, chosen->ai_addr, chosen->ai_addrlen);
    relay->m_shardLength = chosen->ai_addrlen;
    freeaddrinfo(found);

    relay->m_loginFd = Listen(options.listenAddress, options.listenPort, relay->m_loginPort, error);
    if (relay->m_loginFd < 0)
        return nullptr;
    relay->m_gameFd = Listen(options.listenAddress, options.gamePort, relay->m_gamePort, error);
    if (relay->m_gameFd < 0)
        return nullptr;
    if (relay->IsRelayItself(relay->m_shard)) {
        error = "the shard " + relay->ShardText() + " is this relay itself; name the game's server";
        return nullptr;
    }
    return relay;
}

Relay::~Relay() {
    for (auto& opening : m_openings)
        close(opening.fd);
    if (m_loginFd >= 0)
        close(m_loginFd);
    if (m_gameFd >= 0)
        close(m_gameFd);
}

std::string Relay::ShardText() const {
    return m_options.shardHost + ":" + std::to_string(m_options.shardPort) + " (" + AddressText(m_shard) + ")";
}

void Relay::Run(const std::atomic<bool>& stop) {
    while (!stop.load())
        RunOnce(std::chrono::milliseconds(200));
}

void Relay::RunOnce(std::chrono::milliseconds wait) {
    auto now = Clock::now();
    TryHook(now);
    for (auto& login : m_logins)
        login->Tick(now);
    for (auto& game : m_games)
        game->Tick(now);
    RemoveFinished();

    // Connections that have not said what they are in time hold a descriptor for nothing.
    for (auto& opening : m_openings)
        if (opening.fd >= 0 && now >= opening.deadline) {
            close(opening.fd);
            opening.fd = -1;
            Wipe(opening.bytes);
        }
    std::erase_if(m_openings, [](const Opening& opening) { return opening.fd < 0; });

    const bool accepting = now >= m_acceptResumes;
    std::vector<pollfd> fds;
    fds.push_back({accepting ? m_loginFd : -1, POLLIN, 0});
    fds.push_back({accepting ? m_gameFd : -1, POLLIN, 0});
    fds.push_back({m_hook.IsOpen() ? m_hook.Fd() : -1, 0, 0});
    fds.push_back({m_windows.Fd(), POLLIN, 0});
    const std::size_t openings = m_openings.size();
    for (const auto& opening : m_openings)
        fds.push_back({opening.fd, POLLIN, 0});
    const std::size_t logins = m_logins.size(), games = m_games.size();
    for (const auto& login : m_logins)
        login->AddPollFds(fds);
    for (const auto& game : m_games)
        game->AddPollFds(fds);
    // Kestrune's INJECTs wait in its socket while the game they go into is backlogged.
    const bool hookPaused = m_inspected && m_inspected->Backlogged();
    fds[2].events = static_cast<short>((hookPaused ? 0 : POLLIN) | (m_hook.WantsWrite() ? POLLOUT : 0));

    auto timeout = wait;
    if (!m_hook.IsOpen())
        timeout = std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(m_nextHookTry - now));
    if (logins + games + openings > 0)
        timeout = std::min(timeout, std::chrono::milliseconds(100)); // verdict and connect deadlines
    if (!accepting)
        timeout = std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(m_acceptResumes - now));
    timeout = std::max(timeout, std::chrono::milliseconds(0));
    if (WaitReady(fds.data(), fds.size(), timeout) < 0)
        return; // a stop signal; the caller looks at its stop flag

    if (fds[0].revents != 0)
        Accept(m_loginFd, false);
    if (fds[1].revents != 0)
        Accept(m_gameFd, true);
    if (fds[2].revents != 0)
        ServeHook(fds[2].revents);
    if (fds[3].revents != 0)
        TakeWindowAnswers();
    for (std::size_t k = 0; k < openings; ++k)
        if (fds[4 + k].revents != 0)
            ReadOpening(m_openings[k]);
    std::size_t at = 4 + openings;
    for (std::size_t k = 0; k < logins; ++k, at += 2)
        m_logins[k]->OnPoll(fds[at], fds[at + 1]);
    for (std::size_t k = 0; k < games; ++k, at += 2)
        m_games[k]->OnPoll(fds[at], fds[at + 1]);
    // Started sessions and finished openings change the lists only now.
    std::erase_if(m_openings, [](const Opening& opening) { return opening.fd < 0; });
    if (m_hook.IsOpen() && m_hook.WantsWrite())
        m_hook.Flush();
    if (m_hookWasOpen && !m_hook.IsOpen())
        HookLost();
    RemoveFinished();
}

void Relay::Accept(int listenFd, bool atGamePort) {
    for (;;) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int why = errno;
            if (why == EINTR || why == ECONNABORTED || why == EPROTO)
                continue; // that one connection is gone; the next may be fine
            if (why == EAGAIN || why == EWOULDBLOCK) {
                m_toldAcceptTrouble = false; // caught up: a later shortage is worth a line again
                return;
            }
            m_acceptResumes = Clock::now() + kAcceptBackOff;
            if (!m_toldAcceptTrouble) {
                m_toldAcceptTrouble = true;
                Say(std::string("cannot accept new connections (") + std::strerror(why) +
                    "); they wait, and are taken again every 250 ms, as soon as descriptors or memory are free");
            }
            return;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto lookup = [this](std::uint32_t key, bool& encrypted) {
            const auto found = m_redirects.find(key);
            if (found == m_redirects.end())
                return false;
            encrypted = found->second.encrypted;
            return true;
        };
        m_openings.push_back({fd,
                              atGamePort,
                              std::make_unique<ClientOpening>(atGamePort, lookup),
                              {},
                              "connection " + std::to_string(++m_connectionCount) + " from " + AddressText(from),
                              Clock::now() + m_options.openingTimeout});
    }
}

void Relay::ReadOpening(Opening& opening) {
    std::uint8_t bytes[512];
    const ssize_t got = recv(opening.fd, bytes, sizeof bytes, 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (got <= 0) {
        close(opening.fd);
        opening.fd = -1;
        return;
    }
    opening.bytes.insert(opening.bytes.end(), bytes, bytes + got);
    opening.reader->Feed({bytes, static_cast<std::size_t>(got)});
    explicit_bzero(bytes, sizeof bytes);
    if (opening.reader->Which() != ClientOpening::Kind::Undecided)
        StartSession(opening);
}

void Relay::StartSession(Opening& opening) {
    const int fd = opening.fd;
    opening.fd = -1;
    SessionHost& host = *this;
    if (opening.reader->Which() == ClientOpening::Kind::Login) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        std::array<std::uint8_t, 4> address{};
        std::memcpy(address.data(), &local.sin_addr, 4);
        m_logins.push_back(std::make_unique<LoginSession>(host, fd, opening.name + " (login)",
                                                          std::move(opening.reader), address, m_gamePort, m_shard,
                                                          m_shardLength));
        m_logins.back()->Begin(opening.bytes);
    } else {
        const auto server = FindRedirect(opening.reader->Key());
        if (!server) {
            Say(opening.name + ": a game connection with a key this relay did not hand out; closed. Log in again "
                               "through the relay");
            close(fd);
        } else {
            Say(opening.name + ": game connection to " + AddressText(server->address));
            m_games.push_back(std::make_unique<GameSession>(
                host, fd, opening.name + " (game)", std::move(opening.reader), *server, m_options.verdictTimeout));
            m_games.back()->Begin(opening.bytes);
        }
    }
    Wipe(opening.bytes);
    opening.bytes.clear();
}

void Relay::Say(const std::string& line) {
    if (m_log)
        m_log(line);
}

PacketLengths Relay::LengthsFor(const std::optional<ClientVersion>& version) const {
    PacketLengths lengths;
    if (version)
        lengths = PacketLengths::ForVersion(*version);
    else if (m_options.clientVersion)
        lengths = PacketLengths::ForVersion(*m_options.clientVersion);
    for (const auto& [id, length] : m_options.lengthChanges) {
        if (length)
            lengths.Set(id, *length);
        else
            lengths.Forget(id);
    }
    return lengths;
}

void Relay::RememberRedirect(std::uint32_t key, const GameServer& server) {
    if (m_redirects.insert_or_assign(key, server).second)
        m_redirectOrder.push_back(key);
    if (m_redirectOrder.size() > kMaxRedirects) {
        m_redirects.erase(m_redirectOrder.front());
        m_redirectOrder.pop_front();
    }
}

std::optional<GameServer> Relay::FindRedirect(std::uint32_t key) const {
    const auto found = m_redirects.find(key);
    if (found == m_redirects.end())
        return std::nullopt;
    return found->second;
}

bool Relay::IsRelayItself(const sockaddr_storage& address) const {
    std::uint16_t port = 0;
    bool local = false;
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        in_addr listening{};
        inet_pton(AF_INET, m_options.listenAddress.c_str(), &listening);
        const bool loopback = (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
        local = v4.sin_addr.s_addr == listening.s_addr || (listening.s_addr == INADDR_ANY && loopback);
        port = ntohs(v4.sin_port);
    }
    // The relay listens on IPv4 only: an IPv6 address is always someone else.
    return local && (port == m_loginPort || port == m_gamePort);
}

bool Relay::Watched(std::uint8_t id) const {
    return m_hook.IsOpen() && m_hook.Attached() && m_hook.Watched().Contains(id);
}

bool Relay::AskAbout(GameSession& session, Direction direction, std::uint64_t sequence,
                     std::span<const std::uint8_t> packet) {
    if (&session != m_inspected || !Watched(packet[0]))
        return false;
    if (!m_hook.QueueEvent(direction == Direction::ToClient ? kEventFromServer : kEventFromClient, packet))
        return false;
    m_asked.push_back({&session, direction, sequence});
    return true;
}

bool Relay::TakeInspection(GameSession& session) {
    if (m_inspected && m_inspected != &session)
        return false;
    m_inspected = &session;
    return true;
}

void Relay::InWorldChanged(GameSession& session) {
    if (&session != m_inspected)
        return;
    std::string why;
    m_clientPid = ConnectedProcess(session.ClientFd(), why);
    // The stand-in at once; the real id when the display has answered (it may never).
    if (m_options.raiseWindows && m_clientPid)
        m_windows.Find(*m_clientPid);
    Say(session.Name() + ": in the world; sounds are heard and played through Kestrune");
    if (m_window != kStandInWindow) {
        m_window = kStandInWindow;
        if (m_hook.IsOpen())
            m_hook.QueueHello(m_window);
    }
}

void Relay::TakeWindowAnswers() {
    for (const auto& answer : m_windows.TakeAnswers()) {
        if (answer.raise) {
            if (!answer.raised && !m_toldRaise) {
                m_toldRaise = true;
                Say("cannot bring the game client's window forward (" + answer.why + "); such requests are ignored");
            }
            continue;
        }
        const bool current = m_inspected && m_inspected->InWorld() && m_clientPid == answer.pid;
        if (current && answer.window && *answer.window != m_window) {
            m_window = *answer.window;
            if (m_hook.IsOpen())
                m_hook.QueueHello(m_window);
        }
    }
}

void Relay::UpdateWindow() {
    const bool inWorld = m_inspected && m_inspected->InWorld();
    if (!inWorld && m_window != 0) {
        m_window = 0;
        if (m_hook.IsOpen())
            m_hook.QueueHello(0);
    }
}

void Relay::TryHook(Clock::time_point now) {
    if (m_hook.IsOpen() || now < m_nextHookTry)
        return;
    m_nextHookTry = now + m_options.hookRetry;
    std::string error;
    switch (m_hook.Connect(m_hookPath, m_window, error)) {
    case HookConnection::ConnectResult::Connected:
        m_hookWasOpen = true;
        break;
    case HookConnection::ConnectResult::NotListening:
        if (!m_toldHookAbsent) {
            m_toldHookAbsent = true;
            Say("Kestrune is not running (nobody listens at " + m_hookPath +
                "); the game passes untouched until it starts");
        }
        break;
    case HookConnection::ConnectResult::Failed:
        if (!m_toldHookAbsent) {
            m_toldHookAbsent = true;
            Say("cannot reach Kestrune: " + error + "; the game passes untouched");
        }
        break;
    }
}

void Relay::ServeHook(short revents) {
    if ((revents & POLLOUT) != 0 && !m_hook.Flush())
        return;
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0)
        m_hook.Receive([this](const Frame& frame) { OnHookFrame(frame); }, kHookReadBudget);
}

void Relay::OnHookFrame(const Frame& frame) {
    switch (frame.type) {
    case FrameType::Watch:
        if (!m_hookAttached) {
            m_hookAttached = true;
            m_toldHookAbsent = m_toldHookBusy = false;
            Say("attached to Kestrune at " + m_hookPath);
        }
        break;
    case FrameType::Verdict:
        if (!m_asked.empty()) {
            const Asked asked = m_asked.front();
            m_asked.pop_front();
            if (asked.session)
                asked.session->Verdict(asked.direction, asked.sequence, frame.verdict);
        }
        break;
    case FrameType::Inject:
        if (m_inspected) {
            m_inspected->Inject(frame.direction == 0 ? Direction::ToClient : Direction::ToServer, frame.packet);
        } else if (!m_toldNoGame) {
            m_toldNoGame = true;
            Say("Kestrune sent packets to play, but no game is played through the relay; they are dropped");
        }
        break;
    case FrameType::Raise:
        RaiseClient();
        break;
    default:
        break;
    }
}

void Relay::HookLost() {
    m_hookWasOpen = false;
    m_asked.clear();
    for (auto& game : m_games)
        game->ReleaseWaiting();
    if (m_hook.WasRefused()) {
        if (!m_toldHookBusy) {
            m_toldHookBusy = true;
            Say("another peer is attached to Kestrune; trying again every second");
        }
    } else if (m_hookAttached) {
        Say("Kestrune went away (" + m_hook.CloseReason() + "); the game passes untouched until it is back");
    }
    m_hookAttached = false;
    m_nextHookTry = Clock::now() + m_options.hookRetry;
}

void Relay::RaiseClient() {
    if (!m_options.raiseWindows)
        return;
    std::string why = "no game session in the world";
    if (m_inspected && m_inspected->InWorld() && !m_clientPid)
        m_clientPid = ConnectedProcess(m_inspected->ClientFd(), why);
    if (m_inspected && m_inspected->InWorld() && m_clientPid) {
        m_windows.Raise(*m_clientPid); // answered on the worker; the game never waits for it
        if (m_windows.Stuck() && !m_toldDisplayStuck) {
            m_toldDisplayStuck = true;
            Say("the X display does not answer; the game goes on, and the client's window comes forward once it "
                "does");
        }
        return;
    }
    if (!m_toldRaise) {
        m_toldRaise = true;
        Say("cannot bring the game client's window forward (" + why + "); such requests are ignored");
    }
}

void Relay::RemoveFinished() {
    std::erase_if(m_logins, [](const auto& login) { return login->Finished(); });
    std::erase_if(m_games, [this](const auto& game) {
        if (!game->Finished())
            return false;
        for (auto& asked : m_asked)
            if (asked.session == game.get())
                asked.session = nullptr;
        if (m_inspected == game.get()) {
            m_inspected = nullptr;
            m_clientPid.reset();
            UpdateWindow();
        }
        Say(game->Name() + ": ended");
        return true;
    });
}
