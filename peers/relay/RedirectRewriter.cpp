#include "RedirectRewriter.h"

RedirectRewriter::RedirectRewriter(PacketLengths lengths, std::array<std::uint8_t, 4> relayAddress,
                                   std::uint16_t relayPort)
    : m_cutter(lengths), m_relayAddress(relayAddress), m_relayPort(relayPort) {}

void RedirectRewriter::Feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out,
                            std::vector<Redirect>& found) {
    m_cutter.Feed(bytes, [&](std::span<const std::uint8_t> packet) {
        const std::size_t at = out.size();
        out.insert(out.end(), packet.begin(), packet.end());
        if (const auto redirect = ReadRedirect(packet)) {
            found.push_back(*redirect);
            PointRedirect(std::span(out).subspan(at), m_relayAddress, m_relayPort);
        }
    });
    if (m_cutter.Faulted()) {
        const auto uncut = m_cutter.TakeUncut();
        out.insert(out.end(), uncut.begin(), uncut.end());
    }
}

void RedirectRewriter::GiveUp(const std::string& why, std::vector<std::uint8_t>& out) {
    m_cutter.GiveUp(why);
    const auto uncut = m_cutter.TakeUncut();
    out.insert(out.end(), uncut.begin(), uncut.end());
}
