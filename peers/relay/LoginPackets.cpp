#include "LoginPackets.h"

#include "GamePacket.h"

#include <algorithm>
#include <cstring>

std::optional<ClientVersion> SeedPacketVersion(std::span<const std::uint8_t> packet) {
    if (packet.size() != kSeedPacketLength || packet[0] != kSeedPacketId)
        return std::nullopt;
    return ClientVersion{*PeekBe32(packet, 5), *PeekBe32(packet, 9), *PeekBe32(packet, 13), *PeekBe32(packet, 17)};
}

// Text up to the first zero (at least `minimum` bytes of it), then zeros to the field's end.
static bool PlainField(std::span<const std::uint8_t> field, std::size_t minimum) {
    const auto zero = std::find(field.begin(), field.end(), std::uint8_t{0});
    if (static_cast<std::size_t>(zero - field.begin()) < minimum)
        return false;
    const bool printable = std::all_of(field.begin(), zero, [](std::uint8_t c) { return c >= 0x20 && c != 0x7F; });
    return printable && std::all_of(zero, field.end(), [](std::uint8_t c) { return c == 0; });
}

bool LooksLikePlainLogin(std::span<const std::uint8_t> packet) {
    std::size_t at = 0;
    if (packet.size() == kAccountLoginLength && packet[0] == kAccountLoginId)
        at = 1;
    else if (packet.size() == kGameLoginLength && packet[0] == kGameLoginId)
        at = 1 + kKeyLength;
    else
        return false;
    return PlainField(packet.subspan(at, 30), 1) && PlainField(packet.subspan(at + 30, 30), 0);
}

std::optional<Redirect> ReadRedirect(std::span<const std::uint8_t> packet) {
    if (packet.size() != kRedirectLength || packet[0] != kRedirectId)
        return std::nullopt;
    Redirect redirect;
    std::copy(packet.begin() + 1, packet.begin() + 5, redirect.address.begin());
    redirect.port = *PeekBe16(packet, 5);
    redirect.key = *PeekBe32(packet, 7);
    return redirect;
}

void PointRedirect(std::span<std::uint8_t> packet, const std::array<std::uint8_t, 4>& address, std::uint16_t port) {
    if (packet.size() != kRedirectLength || packet[0] != kRedirectId)
        return;
    std::copy(address.begin(), address.end(), packet.begin() + 1);
    PokeBe16(packet, 5, port);
}

void Wipe(std::vector<std::uint8_t>& bytes) {
    if (!bytes.empty())
        explicit_bzero(bytes.data(), bytes.size());
}
