#pragma once

#include "ClientOpening.h"
#include "HuffmanCodec.h"
#include "PacketCutter.h"
#include "PlayerFollower.h"
#include "RelayedConnection.h"

#include <chrono>
#include <deque>
#include <memory>

// A game connection. The server's stream is decompressed and cut into packets, the client's is
// cut; a packet of an id Kestrune watches waits for its verdict, the others pass unasked but
// never ahead of an earlier packet still waiting, and each packet toward the client is
// compressed on its own. Injected packets join their stream at a packet boundary, in order.
// A stream that cannot be cut is passed on unchanged from there on; an encrypted client's
// session, and any session beside the one Kestrune is shown, passes untouched.
class GameSession final : public RelayedConnection {
public:
    using Direction = SessionHost::Direction;

    GameSession(SessionHost& host, int clientFd, std::string name, std::unique_ptr<ClientOpening> opening,
                const GameServer& server, Clock::duration verdictTimeout);
    ~GameSession() override;

    // The client's first bytes, read before the connection was known to be a game connection.
    void Begin(std::span<const std::uint8_t> opening);

    // Kestrune's VERDICT for the packet sent as an EVENT with this sequence number.
    void Verdict(Direction direction, std::uint64_t sequence, std::uint32_t verdict);
    // Kestrune's INJECT: a whole packet for the client (direction 0) or the server (1).
    void Inject(Direction direction, std::span<const std::uint8_t> packet);
    // Kestrune went away: what waits for its verdicts goes on.
    void ReleaseWaiting();
    void Tick(Clock::time_point now) override;

    bool Inspected() const { return m_inspected; }
    bool InWorld() const { return m_inWorld; }
    const PlayerFollower& Player() const { return m_player; }

private:
    struct Outgoing {
        enum class Kind : std::uint8_t { Packet, Injected, Raw }; // Raw: bytes as they go on the wire
        enum class State : std::uint8_t { Ready, Waiting, Dropped };
        std::vector<std::uint8_t> bytes;
        Kind kind;
        State state;
        std::uint64_t sequence;
        Clock::time_point deadline;
    };
    // One direction's packets that may not go on yet.
    struct Lane {
        std::deque<Outgoing> queue;
        std::size_t bytes = 0;
        std::uint64_t nextSequence = 0;
    };
    enum class Mode : std::uint8_t {
        Cutting,  // packet by packet
        Draining, // (from the server) cut no more; recompressed until the stream's next end code
        Raw,      // as it comes
    };

    void FromClient(std::span<const std::uint8_t> bytes) override;
    void FromServer(std::span<const std::uint8_t> bytes) override;
    std::size_t HeldForClient() const override { return m_toClient.bytes; }
    std::size_t HeldForServer() const override { return m_toServer.bytes; }
    bool HoldingForClient() const override { return !m_toClient.queue.empty(); }
    bool HoldingForServer() const override { return !m_toServer.queue.empty(); }
    std::string ServerGoneLine(const std::string& reason) const override;
    void ServerEnded() override;
    void ClientEnded() override;

    void OpeningDone();
    void GiveUpCutting(Direction direction, const std::string& why);
    void CutClientBytes(std::span<const std::uint8_t> bytes);
    void OnPacket(Direction direction, std::span<const std::uint8_t> packet);
    void Queue(Direction direction, Outgoing item);
    void Send(Direction direction, Outgoing::Kind kind, std::span<std::uint8_t> bytes);
    void Forward(Direction direction, Outgoing::Kind kind, std::span<std::uint8_t> bytes);
    void SendPacket(Direction direction, std::span<const std::uint8_t> packet);
    void Pump(Direction direction);
    void StopCutting(Direction direction, const std::string& why);
    Lane& LaneOf(Direction direction) { return direction == Direction::ToClient ? m_toClient : m_toServer; }

    std::unique_ptr<ClientOpening> m_opening;
    const PacketLengths m_lengths;
    const bool m_encryptedLogin;
    const Clock::duration m_verdictTimeout;
    bool m_inspected = false;
    bool m_decided = false;
    std::vector<std::uint8_t> m_heldOpening; // the client's bytes until its login has been looked at
    std::size_t m_keyLeft = kKeyLength;      // the raw key comes before the client's packets
    Mode m_clientMode = Mode::Cutting;
    Mode m_serverMode = Mode::Cutting;
    PacketCutter m_clientCutter;
    PacketCutter m_serverCutter;
    HuffmanDecompressor m_decompressor;
    HuffmanCompressor m_compressor;
    std::vector<std::uint8_t> m_decoded;
    std::vector<std::uint8_t> m_scratch;
    Lane m_toClient;
    Lane m_toServer;
    PlayerFollower m_player;
    bool m_inWorld = false;
    Clock::time_point m_serverBytesAt{};
    Clock::time_point m_clientBytesAt{};
    bool m_toldSlow = false;
    bool m_toldInject[2] = {false, false};
};
