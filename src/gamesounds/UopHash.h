#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The 64-bit name hash of a Mythic package (.uop) entry: Bob Jenkins' lookup3 hashlittle2 with
// both seeds 0, the second result in the high half.
std::uint64_t UopHash(std::string_view name);

// The package's entry name of sound `id`: "build/soundlegacymul/" + id in 8 decimal digits + ".dat".
std::string UopSoundEntryName(std::uint32_t id);
