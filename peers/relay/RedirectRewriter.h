#pragma once

#include "LoginPackets.h"
#include "PacketCutter.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The login server's side of a login connection (never compressed), passed on with every 0x8C
// redirect pointed at the relay's own game port; the real game servers are handed back by key.
// Bytes go on packet by packet. Once a packet cannot be sized the rest passes as it is, and a
// later 0x8C would no longer be seen: Fault() says why.
class RedirectRewriter {
public:
    RedirectRewriter(PacketLengths lengths, std::array<std::uint8_t, 4> relayAddress, std::uint16_t relayPort);

    // Appends what goes on to the client to `out`, and each redirect as the server sent it to `found`.
    void Feed(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out, std::vector<Redirect>& found);

    // Ends the cutting for `why`, appending the packet begun to `out` as it came.
    void GiveUp(const std::string& why, std::vector<std::uint8_t>& out);
    std::size_t Pending() const { return m_cutter.Pending(); }
    bool Faulted() const { return m_cutter.Faulted(); }
    const std::string& Fault() const { return m_cutter.Fault(); }

private:
    PacketCutter m_cutter;
    std::array<std::uint8_t, 4> m_relayAddress;
    std::uint16_t m_relayPort;
};
