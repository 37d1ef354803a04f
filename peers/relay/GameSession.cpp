#include "GameSession.h"

#include "GamePacket.h"

#include <cstdio>
#include <cstring>

namespace {

// Whether Kestrune's packet is whole by the table: a broken one would derail the receiver's stream.
bool WholePacket(const PacketLengths& lengths, std::span<const std::uint8_t> packet) {
    if (packet.empty())
        return false;
    const auto length = lengths.Length(packet[0]);
    if (!length)
        return false;
    if (*length != PacketLengths::kVariable)
        return packet.size() == *length;
    return packet.size() >= 3 && PeekBe16(packet, 1) == packet.size();
}

std::string IdText(std::uint8_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", id);
    return text;
}

} // namespace

GameSession::GameSession(SessionHost& host, int clientFd, std::string name, std::unique_ptr<ClientOpening> opening,
                         const GameServer& server, Clock::duration verdictTimeout)
    : RelayedConnection(host, clientFd, std::move(name)), m_opening(std::move(opening)),
      m_lengths(host.LengthsFor(server.version)), m_encryptedLogin(server.encrypted), m_verdictTimeout(verdictTimeout),
      m_clientCutter(m_lengths), m_serverCutter(m_lengths) {
    Connect(server.address, server.length, std::chrono::seconds(10));
}

GameSession::~GameSession() {
    Wipe(m_heldOpening);
}

void GameSession::Begin(std::span<const std::uint8_t> opening) {
    // The opening has read these bytes already; they are only held until it has decided.
    m_heldOpening.insert(m_heldOpening.end(), opening.begin(), opening.end());
    if (m_opening->Done() || m_encryptedLogin)
        OpeningDone();
    Settle();
}

void GameSession::FromClient(std::span<const std::uint8_t> bytes) {
    m_clientBytesAt = Clock::now();
    if (m_decided) {
        if (m_inspected && m_clientMode == Mode::Cutting)
            CutClientBytes(bytes);
        else
            Send(Direction::ToServer, Outgoing::Kind::Raw, {const_cast<std::uint8_t*>(bytes.data()), bytes.size()});
        return;
    }
    m_opening->Feed(bytes);
    m_heldOpening.insert(m_heldOpening.end(), bytes.begin(), bytes.end());
    if (m_opening->Done() || m_encryptedLogin)
        OpeningDone();
}

// The client's game login has been looked at: show the session to Kestrune, or pass it through.
void GameSession::OpeningDone() {
    m_decided = true;
    if (m_encryptedLogin || !m_opening->Plain()) {
        m_host.Say(Name() + ": the game client encrypts its connection, so Kestrune cannot hear this game. Switch "
                            "the client's encryption off (ClassicUO: \"encryption\": 0 in settings.json); until "
                            "then the game passes through untouched");
    } else if (!m_host.TakeInspection(*this)) {
        m_host.Say(Name() + ": another game session is already shown to Kestrune; this one passes through "
                            "uninspected");
    } else {
        m_inspected = true;
    }
    std::vector<std::uint8_t> held;
    held.swap(m_heldOpening);
    FromClient(held);
    Wipe(held);
}

void GameSession::CutClientBytes(std::span<const std::uint8_t> bytes) {
    if (m_keyLeft > 0) {
        const std::size_t key = std::min(m_keyLeft, bytes.size());
        ToServer(bytes.first(key));
        m_keyLeft -= key;
        bytes = bytes.subspan(key);
    }
    m_clientCutter.Feed(bytes, [this](std::span<const std::uint8_t> packet) { OnPacket(Direction::ToServer, packet); });
    if (m_clientCutter.Faulted()) {
        auto uncut = m_clientCutter.TakeUncut();
        StopCutting(Direction::ToServer, m_clientCutter.Fault());
        Send(Direction::ToServer, Outgoing::Kind::Raw, uncut);
    }
}

void GameSession::FromServer(std::span<const std::uint8_t> bytes) {
    m_serverBytesAt = Clock::now();
    if (!m_inspected) {
        ToClient(bytes);
        return;
    }
    while (!bytes.empty()) {
        if (m_serverMode == Mode::Raw) {
            Send(Direction::ToClient, Outgoing::Kind::Raw, {const_cast<std::uint8_t*>(bytes.data()), bytes.size()});
            return;
        }
        m_decoded.clear();
        const auto progress = m_decompressor.FeedToEnd(bytes, m_decoded);
        bytes = bytes.subspan(progress.consumed);
        if (m_serverMode == Mode::Cutting) {
            m_serverCutter.Feed(
                m_decoded, [this](std::span<const std::uint8_t> packet) { OnPacket(Direction::ToClient, packet); });
            if (!m_serverCutter.Faulted())
                continue;
            m_decoded = m_serverCutter.TakeUncut();
            StopCutting(Direction::ToClient, m_serverCutter.Fault());
        }
        // Uncut bytes are compressed again as they came, so the client decodes the same stream;
        // from the stream's next end code on, the server's own bytes can go on untouched.
        if (!m_decoded.empty()) {
            m_scratch.clear();
            m_compressor.Feed(m_decoded, m_scratch);
            Send(Direction::ToClient, Outgoing::Kind::Raw, m_scratch);
        }
        if (progress.ended)
            m_serverMode = Mode::Raw;
    }
}

void GameSession::StopCutting(Direction direction, const std::string& why) {
    const bool toClient = direction == Direction::ToClient;
    (toClient ? m_serverMode : m_clientMode) = toClient ? Mode::Draining : Mode::Raw;
    m_host.Say(Name() + ": " + why + " (from the " + (toClient ? "server" : "client") +
               "); the rest of that stream passes as it is, without Kestrune");
}

// Nothing the relay holds for inspection may be kept from its receiver for long, or lost.
void GameSession::GiveUpCutting(Direction direction, const std::string& why) {
    if (direction == Direction::ToClient) {
        m_serverCutter.GiveUp(why);
        std::vector<std::uint8_t> uncut = m_serverCutter.TakeUncut();
        StopCutting(direction, why);
        if (!uncut.empty()) {
            m_scratch.clear();
            m_compressor.Feed(uncut, m_scratch);
            Send(direction, Outgoing::Kind::Raw, m_scratch);
        }
        if (m_decompressor.AtPacketStart())
            m_serverMode = Mode::Raw;
    } else {
        m_clientCutter.GiveUp(why);
        std::vector<std::uint8_t> uncut = m_clientCutter.TakeUncut();
        StopCutting(direction, why);
        Send(direction, Outgoing::Kind::Raw, uncut);
    }
}

void GameSession::ServerEnded() {
    if (m_inspected && m_serverMode == Mode::Cutting && m_serverCutter.Pending() > 0)
        GiveUpCutting(Direction::ToClient, "the stream ended inside packet " + IdText(m_serverCutter.PendingId()));
}

void GameSession::ClientEnded() {
    if (m_inspected && m_decided && m_clientMode == Mode::Cutting && m_clientCutter.Pending() > 0)
        GiveUpCutting(Direction::ToServer, "the stream ended inside packet " + IdText(m_clientCutter.PendingId()));
}

void GameSession::OnPacket(Direction direction, std::span<const std::uint8_t> packet) {
    const std::uint8_t id = packet[0];
    if (m_host.Watched(id) && !IsLoginPacket(id)) {
        Lane& lane = LaneOf(direction);
        Outgoing item{{packet.begin(), packet.end()},
                      Outgoing::Kind::Packet,
                      Outgoing::State::Waiting,
                      lane.nextSequence++,
                      Clock::now() + m_verdictTimeout};
        if (!m_host.AskAbout(*this, direction, item.sequence, packet))
            item.state = Outgoing::State::Ready;
        Queue(direction, std::move(item));
        Pump(direction);
        return;
    }
    if (LaneOf(direction).queue.empty()) {
        SendPacket(direction, packet);
        return;
    }
    Queue(direction, {{packet.begin(), packet.end()}, Outgoing::Kind::Packet, Outgoing::State::Ready, 0, {}});
}

void GameSession::Queue(Direction direction, Outgoing item) {
    Lane& lane = LaneOf(direction);
    lane.bytes += item.bytes.size();
    lane.queue.push_back(std::move(item));
}

// Bytes that go on in order: at once when nothing waits before them.
void GameSession::Send(Direction direction, Outgoing::Kind kind, std::span<std::uint8_t> bytes) {
    if (!LaneOf(direction).queue.empty()) {
        Queue(direction, {{bytes.begin(), bytes.end()}, kind, Outgoing::State::Ready, 0, {}});
        return;
    }
    Forward(direction, kind, bytes);
}

void GameSession::Forward(Direction direction, Outgoing::Kind kind, std::span<std::uint8_t> bytes) {
    if (kind == Outgoing::Kind::Raw) {
        auto& out = direction == Direction::ToClient ? ClientOut() : ServerOut();
        out.insert(out.end(), bytes.begin(), bytes.end());
        return;
    }
    if (kind == Outgoing::Kind::Injected && direction == Direction::ToClient && m_player.Known())
        PlaceSoundAt(bytes, m_player.X(), m_player.Y()); // where the player stands now
    if (kind == Outgoing::Kind::Injected) {
        if (direction == Direction::ToClient)
            m_compressor.Feed(bytes, ClientOut());
        else
            ToServer(bytes);
        return;
    }
    SendPacket(direction, bytes);
}

// A packet of the game goes on to its receiver.
void GameSession::SendPacket(Direction direction, std::span<const std::uint8_t> packet) {
    if (direction == Direction::ToServer) {
        m_player.FromClient(packet);
        ToServer(packet);
        return;
    }
    m_player.FromServer(packet);
    m_compressor.Feed(packet, ClientOut());
    if (packet[0] == 0x1B && !m_inWorld) {
        m_inWorld = true;
        m_host.InWorldChanged(*this);
    }
}

void GameSession::Pump(Direction direction) {
    Lane& lane = LaneOf(direction);
    while (!lane.queue.empty() && lane.queue.front().state != Outgoing::State::Waiting) {
        Outgoing item = std::move(lane.queue.front());
        lane.queue.pop_front();
        lane.bytes -= item.bytes.size();
        if (item.state == Outgoing::State::Ready)
            Forward(direction, item.kind, item.bytes);
    }
}

void GameSession::Verdict(Direction direction, std::uint64_t sequence, std::uint32_t verdict) {
    for (auto& item : LaneOf(direction).queue) {
        if (item.kind == Outgoing::Kind::Packet && item.sequence == sequence &&
            item.state == Outgoing::State::Waiting) {
            item.state = verdict == 1 ? Outgoing::State::Dropped : Outgoing::State::Ready;
            break;
        }
    }
    Pump(direction);
    Settle();
}

void GameSession::Inject(Direction direction, std::span<const std::uint8_t> packet) {
    const bool toClient = direction == Direction::ToClient;
    const int which = toClient ? 0 : 1;
    const Mode mode = toClient ? m_serverMode : m_clientMode;
    if (!m_inspected || mode != Mode::Cutting || !m_decided) {
        if (!m_toldInject[which]) {
            m_toldInject[which] = true;
            m_host.Say(Name() + ": Kestrune's packets for the " + (toClient ? "client" : "server") +
                       " are dropped: that stream is not cut into packets");
        }
        return;
    }
    if (!WholePacket(m_lengths, packet)) {
        m_host.Say(Name() + ": Kestrune's packet " + (packet.empty() ? std::string("(empty)") : IdText(packet[0])) +
                   " of " + std::to_string(packet.size()) + " bytes is not a whole packet; dropped");
        return;
    }
    std::vector<std::uint8_t> copy(packet.begin(), packet.end());
    Send(direction, Outgoing::Kind::Injected, copy);
    Settle();
}

void GameSession::ReleaseWaiting() {
    for (auto* lane : {&m_toClient, &m_toServer})
        for (auto& item : lane->queue)
            if (item.state == Outgoing::State::Waiting)
                item.state = Outgoing::State::Ready;
    Pump(Direction::ToClient);
    Pump(Direction::ToServer);
    Settle();
}

void GameSession::Tick(Clock::time_point now) {
    RelayedConnection::Tick(now);
    bool moved = false;
    if (m_inspected && m_serverMode == Mode::Cutting && m_serverCutter.Pending() > 0 &&
        now - m_serverBytesAt >= kHoldBound) {
        GiveUpCutting(Direction::ToClient, "packet " + IdText(m_serverCutter.PendingId()) +
                                               " stayed incomplete for a second, perhaps mis-sized");
        moved = true;
    }
    if (m_inspected && m_decided && m_clientMode == Mode::Cutting && m_clientCutter.Pending() > 0 &&
        now - m_clientBytesAt >= kHoldBound) {
        GiveUpCutting(Direction::ToServer, "packet " + IdText(m_clientCutter.PendingId()) +
                                               " stayed incomplete for a second, perhaps mis-sized");
        moved = true;
    }
    bool late = false;
    for (auto* lane : {&m_toClient, &m_toServer})
        for (auto& item : lane->queue)
            if (item.state == Outgoing::State::Waiting && item.deadline <= now) {
                item.state = Outgoing::State::Ready;
                late = true;
            }
    if (late && !m_toldSlow) {
        m_toldSlow = true;
        m_host.Say(Name() + ": Kestrune did not answer in time; packets that waited for it went on unchanged");
    }
    if (!late && !moved)
        return;
    Pump(Direction::ToClient);
    Pump(Direction::ToServer);
    Settle();
}

std::string GameSession::ServerGoneLine(const std::string& reason) const {
    return reason.empty() ? "the game server closed the connection; closing the client's"
                          : "the connection to the game server broke (" + reason + "); closing the client's";
}
