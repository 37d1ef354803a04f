#include "HookProtocol.h"

#include "ByteOrder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static constexpr std::size_t kWholeFrame = kFrameHeaderSize + kMaxFrameLength;

// Callers hand over four bytes they own.
static void PutBe32(std::uint8_t* out, std::uint32_t v) {
    PokeBe32({out, 4}, 0, v);
}

static std::uint32_t GetBe32(const std::uint8_t* in) {
    return *PeekBe32({in, 4}, 0);
}

static std::array<std::uint8_t, 9> EncodeWordFrame(FrameType type, std::uint32_t word) {
    std::array<std::uint8_t, 9> out{};
    PutBe32(out.data(), 5);
    out[4] = static_cast<std::uint8_t>(type);
    PutBe32(out.data() + 5, word);
    return out;
}

static bool SentBy(FrameType type, FrameSender sender) {
    switch (type) {
    case FrameType::Hello:
    case FrameType::Event:
    case FrameType::GameFolder:
        return sender == FrameSender::Peer;
    case FrameType::Verdict:
    case FrameType::Inject:
    case FrameType::Raise:
    case FrameType::Watch:
    case FrameType::FolderWanted:
        return sender == FrameSender::Program;
    }
    return false;
}

WatchSet::WatchSet(std::span<const std::uint8_t, kBytes> bits) {
    std::copy(bits.begin(), bits.end(), m_bits.begin());
}

bool WatchSet::Empty() const {
    return std::all_of(m_bits.begin(), m_bits.end(), [](std::uint8_t b) { return b == 0; });
}

bool IsKnownFrameType(std::uint8_t type) {
    return type >= static_cast<std::uint8_t>(FrameType::Hello) &&
           type <= static_cast<std::uint8_t>(FrameType::FolderWanted);
}

bool IsValidGameFolder(std::string_view path) {
    if (path.empty() || path.size() > kMaxGameFolderBytes)
        return false;
    for (std::size_t i = 0; i < path.size();) {
        const auto lead = static_cast<std::uint8_t>(path[i]);
        if (lead == 0)
            return false;
        // Continuation bytes, and the smallest value each length may carry (no overlong forms).
        std::size_t more = 0;
        std::uint32_t least = 0;
        std::uint32_t code = lead;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            more = 1, least = 0x80, code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            more = 2, least = 0x800, code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            more = 3, least = 0x10000, code = lead & 0x07;
        } else {
            return false;
        }
        if (path.size() - i <= more)
            return false;
        for (std::size_t k = 1; k <= more; ++k) {
            const auto next = static_cast<std::uint8_t>(path[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += 1 + more;
    }
    return true;
}

bool DecodeFrameBody(std::span<const std::uint8_t> body, FrameSender sender, Frame& frame, std::string& error) {
    if (body.empty()) {
        error = "empty frame";
        return false;
    }
    const std::uint8_t rawType = body[0];
    const auto payload = body.subspan(1);
    const auto type = static_cast<FrameType>(rawType);
    if (!IsKnownFrameType(rawType)) {
        error = "unknown frame type " + std::to_string(rawType);
        return false;
    }
    if (!SentBy(type, sender)) {
        error = "frame type " + std::to_string(rawType) + " is not sent by the " +
                (sender == FrameSender::Peer ? "peer" : "program");
        return false;
    }
    auto badSize = [&](const char* name, const char* expected) {
        error = std::string(name) + " payload of " + std::to_string(payload.size()) + " bytes, expected " + expected;
        return false;
    };
    frame = Frame{};
    frame.type = type;
    switch (type) {
    case FrameType::Hello:
    case FrameType::Raise:
        if (payload.size() != 4)
            return badSize(type == FrameType::Hello ? "HELLO" : "RAISE", "4");
        frame.window = GetBe32(payload.data());
        return true;
    case FrameType::Verdict:
        if (payload.size() != 4)
            return badSize("VERDICT", "4");
        frame.verdict = GetBe32(payload.data());
        return true;
    case FrameType::Event:
        if (payload.size() < 8)
            return badSize("EVENT", "at least 8");
        frame.code = static_cast<std::int32_t>(GetBe32(payload.data()));
        frame.value = GetBe32(payload.data() + 4);
        frame.packet = payload.subspan(8);
        return true;
    case FrameType::Inject:
        if (payload.empty())
            return badSize("INJECT", "at least 1");
        if (payload[0] > 1) {
            error = "INJECT direction " + std::to_string(payload[0]) + ", expected 0 or 1";
            return false;
        }
        frame.direction = payload[0];
        frame.packet = payload.subspan(1);
        return true;
    case FrameType::Watch:
        if (payload.size() != WatchSet::kBytes)
            return badSize("WATCH", "32");
        frame.watch = WatchSet(payload.first<WatchSet::kBytes>());
        return true;
    case FrameType::GameFolder:
        frame.folder = std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size());
        if (!IsValidGameFolder(frame.folder)) {
            error = "GAMEFOLDER payload of " + std::to_string(payload.size()) +
                    " bytes is not a path of 1 to 4096 bytes of UTF-8 without NUL";
            return false;
        }
        return true;
    case FrameType::FolderWanted:
        if (!payload.empty())
            return badSize("FOLDERWANTED", "0");
        return true;
    }
    return false;
}

std::array<std::uint8_t, 9> EncodeHello(std::uint32_t window) {
    return EncodeWordFrame(FrameType::Hello, window);
}
std::array<std::uint8_t, 9> EncodeVerdict(std::uint32_t verdict) {
    return EncodeWordFrame(FrameType::Verdict, verdict);
}
std::array<std::uint8_t, 9> EncodeRaise(std::uint32_t window) {
    return EncodeWordFrame(FrameType::Raise, window);
}

std::array<std::uint8_t, 4 + 1 + WatchSet::kBytes> EncodeWatch(const WatchSet& watched) {
    std::array<std::uint8_t, 4 + 1 + WatchSet::kBytes> out{};
    PutBe32(out.data(), 1 + WatchSet::kBytes);
    out[4] = static_cast<std::uint8_t>(FrameType::Watch);
    std::copy(watched.Bits().begin(), watched.Bits().end(), out.begin() + 5);
    return out;
}

std::vector<std::uint8_t> EncodeEvent(std::int32_t code, std::uint32_t value, std::span<const std::uint8_t> packet) {
    std::vector<std::uint8_t> out(kFrameHeaderSize + 9 + packet.size());
    PutBe32(out.data(), static_cast<std::uint32_t>(9 + packet.size()));
    out[4] = static_cast<std::uint8_t>(FrameType::Event);
    PutBe32(out.data() + 5, static_cast<std::uint32_t>(code));
    PutBe32(out.data() + 9, value);
    std::copy(packet.begin(), packet.end(), out.begin() + 13);
    return out;
}

std::array<std::uint8_t, 6> EncodeInjectHead(std::uint8_t direction, std::size_t packetLength) {
    std::array<std::uint8_t, 6> out{};
    PutBe32(out.data(), static_cast<std::uint32_t>(2 + packetLength));
    out[4] = static_cast<std::uint8_t>(FrameType::Inject);
    out[5] = direction;
    return out;
}

std::vector<std::uint8_t> EncodeInject(std::uint8_t direction, std::span<const std::uint8_t> packet) {
    const auto head = EncodeInjectHead(direction, packet.size());
    std::vector<std::uint8_t> out(head.size() + packet.size());
    std::copy(head.begin(), head.end(), out.begin());
    std::copy(packet.begin(), packet.end(), out.begin() + static_cast<std::ptrdiff_t>(head.size()));
    return out;
}

std::vector<std::uint8_t> EncodeGameFolder(std::string_view path) {
    if (!IsValidGameFolder(path))
        return {};
    std::vector<std::uint8_t> out(kFrameHeaderSize + 1 + path.size());
    PutBe32(out.data(), static_cast<std::uint32_t>(1 + path.size()));
    out[4] = static_cast<std::uint8_t>(FrameType::GameFolder);
    std::copy(path.begin(), path.end(), out.begin() + 5);
    return out;
}

std::array<std::uint8_t, 5> EncodeFolderWanted() {
    return {0, 0, 0, 1, static_cast<std::uint8_t>(FrameType::FolderWanted)};
}

FrameReader::FrameReader(FrameSender sender, bool takesFolderWanted)
    : m_sender(sender), m_takesFolderWanted(takesFolderWanted), m_buffer(2 * kWholeFrame) {}

std::span<std::uint8_t> FrameReader::WritableSpace() {
    if (m_start == m_end)
        m_start = m_end = 0;
    // A partial frame never exceeds kWholeFrame, so moving it to the front leaves room for a full one.
    if (m_start > 0 && m_buffer.size() - m_end < kWholeFrame) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_start, m_end - m_start);
        m_end -= m_start;
        m_start = 0;
    }
    if (m_end == m_buffer.size())
        m_buffer.resize(m_buffer.size() + kWholeFrame);
    return {m_buffer.data() + m_end, m_buffer.size() - m_end};
}

void FrameReader::Commit(std::size_t count) {
    m_end = std::min(m_end + count, m_buffer.size());
}

void FrameReader::Append(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const auto space = WritableSpace();
        const std::size_t n = std::min(space.size(), bytes.size());
        std::memcpy(space.data(), bytes.data(), n);
        Commit(n);
        bytes = bytes.subspan(n);
    }
}

FrameReader::Result FrameReader::Next(Frame& frame) {
    for (;;) {
        if (m_failed)
            return Result::Error;
        if (m_end - m_start < kFrameHeaderSize)
            return Result::NeedMore;
        const std::uint32_t length = GetBe32(m_buffer.data() + m_start);
        if (length < kMinFrameLength || length > kMaxFrameLength) {
            m_failed = true;
            m_error = "frame length " + std::to_string(length) + " outside 1.." + std::to_string(kMaxFrameLength);
            return Result::Error;
        }
        if (m_end - m_start < kFrameHeaderSize + length)
            return Result::NeedMore;
        const std::span<const std::uint8_t> body(m_buffer.data() + m_start + kFrameHeaderSize, length);
        m_start += kFrameHeaderSize + length;
        if (m_sender == FrameSender::Program &&
            (!IsKnownFrameType(body[0]) ||
             (body[0] == static_cast<std::uint8_t>(FrameType::FolderWanted) && !m_takesFolderWanted)))
            continue; // a newer program's frame: not ours to understand
        if (!DecodeFrameBody(body, m_sender, frame, m_error)) {
            m_failed = true;
            return Result::Error;
        }
        return Result::Frame;
    }
}

bool FrameReader::HasFrame() const {
    if (m_failed)
        return true;
    if (m_end - m_start < kFrameHeaderSize)
        return false;
    const std::uint32_t length = GetBe32(m_buffer.data() + m_start);
    return length < kMinFrameLength || length > kMaxFrameLength || m_end - m_start >= kFrameHeaderSize + length;
}

void FrameReader::Reset() {
    m_start = m_end = 0;
    m_failed = false;
    m_error.clear();
}

std::string HookSocketPath() {
    if (const char* explicitPath = std::getenv("KESTRUNE_HOOK_SOCKET"); explicitPath && *explicitPath)
        return explicitPath;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/')
        return std::string(runtime) + "/kestrune/hook.sock";
    return "/tmp/kestrune-" + std::to_string(geteuid()) + "/hook.sock";
}
