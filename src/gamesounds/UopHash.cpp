#include "UopHash.h"

#include <cstdio>

static std::uint32_t Rot(std::uint32_t x, int k) {
    return (x << k) | (x >> (32 - k));
}

static std::uint32_t Word(const unsigned char* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint64_t UopHash(std::string_view name) {
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    std::size_t left = name.size();
    std::uint32_t a = 0xDEADBEEFu + static_cast<std::uint32_t>(left);
    std::uint32_t b = a, c = a;
    if (left == 0)
        return (std::uint64_t{b} << 32) | c;
    while (left > 12) {
        a += Word(p);
        b += Word(p + 4);
        c += Word(p + 8);
        a -= c, a ^= Rot(c, 4), c += b;
        b -= a, b ^= Rot(a, 6), a += c;
        c -= b, c ^= Rot(b, 8), b += a;
        a -= c, a ^= Rot(c, 16), c += b;
        b -= a, b ^= Rot(a, 19), a += c;
        c -= b, c ^= Rot(b, 4), b += a;
        p += 12;
        left -= 12;
    }
    unsigned char tail[12] = {};
    for (std::size_t i = 0; i < left; ++i)
        tail[i] = p[i];
    a += Word(tail);
    b += Word(tail + 4);
    c += Word(tail + 8);
    c ^= b, c -= Rot(b, 14);
    a ^= c, a -= Rot(c, 11);
    b ^= a, b -= Rot(a, 25);
    c ^= b, c -= Rot(b, 16);
    a ^= c, a -= Rot(c, 4);
    b ^= a, b -= Rot(a, 14);
    c ^= b, c -= Rot(b, 24);
    return (std::uint64_t{b} << 32) | c;
}

std::string UopSoundEntryName(std::uint32_t id) {
    char name[48];
    std::snprintf(name, sizeof name, "build/soundlegacymul/%08u.dat", static_cast<unsigned>(id));
    return name;
}
