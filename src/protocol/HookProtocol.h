#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The frames spoken over the hook socket between the program (the socket stand-in of the hook
// library) and its peer (the game side). docs/hook-protocol.md is the reference for a peer.
//
// A frame: 4-byte big-endian length N, then N bytes: a 1-byte type and its payload.

enum class FrameType : std::uint8_t {
    Hello = 1,        // peer -> program: 4-byte client window id (0: no window)
    Event = 2,        // peer -> program: 4-byte code, 4-byte value, packet bytes
    Verdict = 3,      // program -> peer: 4-byte verdict, one for each EVENT, in order
    Inject = 4,       // program -> peer: 1-byte direction (0 to the client, 1 to the server), packet bytes
    Raise = 5,        // program -> peer: 4-byte window id
    Watch = 6,        // program -> peer: 32 bytes, the packet ids the program wants to be asked about
    GameFolder = 7,   // peer -> program: the game's data folder, UTF-8, 1 to 4,096 bytes
    FolderWanted = 8, // program -> peer: no payload; this program reads GAMEFOLDER frames
};

// The longest game folder path a GAMEFOLDER frame carries.
inline constexpr std::size_t kMaxGameFolderBytes = 4096;

// Whether `path` may travel in a GAMEFOLDER frame: 1 to kMaxGameFolderBytes bytes of well-formed
// UTF-8 without a NUL.
bool IsValidGameFolder(std::string_view path);

// The packet ids a peer must send as EVENTs (a WATCH frame's payload): byte k holds ids 8k to
// 8k + 7, the bit of value 1 << j standing for id 8k + j. Every other packet passes unasked.
class WatchSet {
public:
    static constexpr std::size_t kBytes = 32;

    WatchSet() = default;
    explicit WatchSet(std::span<const std::uint8_t, kBytes> bits);

    bool Contains(std::uint8_t id) const { return (m_bits[id >> 3] >> (id & 7)) & 1; }
    void Add(std::uint8_t id) { m_bits[id >> 3] = static_cast<std::uint8_t>(m_bits[id >> 3] | (1u << (id & 7))); }
    void Remove(std::uint8_t id) { m_bits[id >> 3] = static_cast<std::uint8_t>(m_bits[id >> 3] & ~(1u << (id & 7))); }
    bool Empty() const;
    const std::array<std::uint8_t, kBytes>& Bits() const { return m_bits; }
    bool operator==(const WatchSet&) const = default;

private:
    std::array<std::uint8_t, kBytes> m_bits{};
};

inline constexpr std::size_t kFrameHeaderSize = 4;
inline constexpr std::uint32_t kMinFrameLength = 1;
// An EVENT can carry a whole 65,536-byte packet: type + code + value + packet.
inline constexpr std::uint32_t kMaxFrameLength = 65545;
// The largest packet the program injects (its INJECT frame stays below kMaxFrameLength).
inline constexpr std::size_t kMaxInjectPacket = 65535;

// Which side's frames a reader accepts: a program reads what a peer sends, and the other way round.
enum class FrameSender { Peer, Program };

// One decoded frame. Only the fields of its type are meaningful; `packet` points into the
// reader's buffer (or the decoded body) and stays valid until the reader is next fed or reset.
struct Frame {
    FrameType type = FrameType::Hello;
    std::uint32_t window = 0;             // HELLO, RAISE
    std::int32_t code = 0;                // EVENT
    std::uint32_t value = 0;              // EVENT
    std::uint32_t verdict = 0;            // VERDICT
    std::uint8_t direction = 0;           // INJECT
    std::span<const std::uint8_t> packet; // EVENT, INJECT
    WatchSet watch;                       // WATCH
    std::string_view folder;              // GAMEFOLDER; valid as long as `packet` would be
};

// Whether a frame type is one this protocol defines. A peer skips frames of other types, so the
// program can grow new ones; the program refuses them.
bool IsKnownFrameType(std::uint8_t type);

// Decodes one frame body (the N bytes after the length) sent by `sender`. False, with a reason in
// `error`, for an empty body, a type that this sender may not send, or a payload of the wrong size.
bool DecodeFrameBody(std::span<const std::uint8_t> body, FrameSender sender, Frame& frame, std::string& error);

// Encoded frames, length prefix included. A packet that does not fit a frame is the caller's to
// refuse (EncodeEvent/EncodeInject do not truncate).
std::array<std::uint8_t, 9> EncodeHello(std::uint32_t window);
std::array<std::uint8_t, 9> EncodeVerdict(std::uint32_t verdict);
std::array<std::uint8_t, 9> EncodeRaise(std::uint32_t window);
std::array<std::uint8_t, 4 + 1 + WatchSet::kBytes> EncodeWatch(const WatchSet& watched);
std::vector<std::uint8_t> EncodeEvent(std::int32_t code, std::uint32_t value, std::span<const std::uint8_t> packet);
// Length prefix, type and direction only: the packet bytes follow on the wire (so they need no copy).
std::array<std::uint8_t, 6> EncodeInjectHead(std::uint8_t direction, std::size_t packetLength);
std::vector<std::uint8_t> EncodeInject(std::uint8_t direction, std::span<const std::uint8_t> packet);
// Empty when the path is not IsValidGameFolder.
std::vector<std::uint8_t> EncodeGameFolder(std::string_view path);
std::array<std::uint8_t, 5> EncodeFolderWanted();

// Collects a byte stream and cuts it into frames. Fed by reading straight into WritableSpace().
class FrameReader {
public:
    enum class Result { NeedMore, Frame, Error };

    // A reader of the program's frames hands out FOLDERWANTED only when `takesFolderWanted`; others
    // skip it as a frame of a type they do not know (a peer that never names a game folder has no
    // use for it).
    explicit FrameReader(FrameSender sender, bool takesFolderWanted = false);

    // Room for at least one more byte; making room may move buffered bytes, so packets handed out
    // earlier become invalid.
    std::span<std::uint8_t> WritableSpace();
    void Commit(std::size_t count);
    void Append(std::span<const std::uint8_t> bytes);

    // The next whole frame. A length outside 1..kMaxFrameLength is an error as soon as the four
    // length bytes are in (the body is not awaited). After an error the reader stays in error
    // until Reset(). A reader of the program's frames skips frames of unknown types.
    Result Next(Frame& frame);
    const std::string& Error() const { return m_error; }
    // Bytes received but not yet handed out as frames.
    std::size_t Buffered() const { return m_end - m_start; }
    // Whether Next would hand out something now (a whole frame, or an error about one).
    bool HasFrame() const;
    void Reset();

private:
    FrameSender m_sender;
    bool m_takesFolderWanted = false;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    std::size_t m_end = 0;
    bool m_failed = false;
    std::string m_error;
};

// Where the program listens and the peer connects: KESTRUNE_HOOK_SOCKET when set and not empty,
// else $XDG_RUNTIME_DIR/kestrune/hook.sock (an absolute XDG_RUNTIME_DIR only), else
// /tmp/kestrune-<uid>/hook.sock.
std::string HookSocketPath();
