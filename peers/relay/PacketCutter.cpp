#include "PacketCutter.h"

#include <cstdio>

PacketCutter::PacketCutter(PacketLengths lengths) : m_lengths(lengths) {}

long PacketCutter::SizeOf(std::span<const std::uint8_t> bytes) {
    char text[96];
    const auto length = m_lengths.Length(bytes[0]);
    if (!length) {
        std::snprintf(text, sizeof text, "packet 0x%02x has no known length", bytes[0]);
        m_fault = text;
        return -1;
    }
    if (*length != PacketLengths::kVariable)
        return *length;
    if (bytes.size() < 3)
        return 0;
    const long total = (long{bytes[1]} << 8) | bytes[2];
    if (total < 3) {
        std::snprintf(text, sizeof text, "packet 0x%02x gives its length as %ld", bytes[0], total);
        m_fault = text;
        return -1;
    }
    return total;
}

void PacketCutter::Feed(std::span<const std::uint8_t> bytes, const OnPacket& onPacket) {
    if (Faulted()) {
        m_uncut.insert(m_uncut.end(), bytes.begin(), bytes.end());
        return;
    }
    // A packet begun in an earlier feed is completed in m_partial, taking only what it needs.
    while (!m_partial.empty()) {
        const long size = SizeOf(m_partial);
        if (size < 0) {
            m_uncut.swap(m_partial);
            m_uncut.insert(m_uncut.end(), bytes.begin(), bytes.end());
            return;
        }
        if (size > 0 && m_partial.size() == static_cast<std::size_t>(size)) {
            onPacket(m_partial);
            m_partial.clear();
            break;
        }
        if (bytes.empty())
            return;
        const std::size_t need = size == 0 ? 3 - m_partial.size() : static_cast<std::size_t>(size) - m_partial.size();
        const std::size_t take = std::min(need, bytes.size());
        m_partial.insert(m_partial.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
        bytes = bytes.subspan(take);
    }
    // Whole packets straight from the caller's bytes.
    while (!bytes.empty()) {
        const long size = SizeOf(bytes);
        if (size < 0) {
            m_uncut.insert(m_uncut.end(), m_partial.begin(), m_partial.end());
            m_uncut.insert(m_uncut.end(), bytes.begin(), bytes.end());
            m_partial.clear();
            return;
        }
        if (size == 0 || static_cast<std::size_t>(size) > bytes.size()) {
            m_partial.assign(bytes.begin(), bytes.end());
            return;
        }
        onPacket(bytes.first(static_cast<std::size_t>(size)));
        bytes = bytes.subspan(static_cast<std::size_t>(size));
    }
}

void PacketCutter::GiveUp(const std::string& why) {
    if (Faulted())
        return;
    m_fault = why;
    m_uncut.insert(m_uncut.end(), m_partial.begin(), m_partial.end());
    m_partial.clear();
}

std::vector<std::uint8_t> PacketCutter::TakeUncut() {
    std::vector<std::uint8_t> uncut;
    uncut.swap(m_uncut);
    return uncut;
}
