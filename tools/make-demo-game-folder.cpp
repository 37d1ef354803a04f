// make-demo-game-folder: writes a small game data folder of sounds of its own making (tones, sweeps
// and noise bursts, no file of the game) for `make run`'s demo: the sound numbers of
// tools/demo-session.txt and a few more, each with a name, so the program has names to show and
// sounds to play without a game installed.
//
//   make-demo-game-folder DIR          soundidx.mul + sound.mul + Sound.def
//   make-demo-game-folder --uop DIR    soundLegacyMUL.uop (+ an empty MainMisc.uop) + Sound.def

#include "UopHash.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 22050;
constexpr double kPi = 3.14159265358979323846;

enum class Shape { Tone, Sweep, Noise, Chime, Steps };

struct DemoSound {
    std::uint16_t id;
    const char* name;
    Shape shape;
    double from; // Hz (noise: none)
    double to;
    double seconds;
};

// The demo session's numbers, and what it plays them for.
const DemoSound kSounds[] = {
    {0x011, "demo_stairs_creak", Shape::Sweep, 220, 140, 0.5},
    {0x02A, "demo_anvil_strike", Shape::Chime, 1250, 0, 0.6},
    {0x037, "demo_coins_counted", Shape::Chime, 2600, 0, 0.3},
    {0x0EA, "demo_door_wood", Shape::Sweep, 180, 90, 0.4},
    {0x100, "demo_town_bell", Shape::Chime, 523, 0, 2.1},
    {0x12B, "demo_footstep_left", Shape::Steps, 0, 0, 0.15},
    {0x12C, "demo_footstep_right", Shape::Steps, 0, 0, 0.15},
    {0x1C4, "demo_rat_squeak", Shape::Sweep, 1800, 2600, 0.25},
    {0x1C5, "demo_rat_dies", Shape::Sweep, 1600, 400, 0.5},
    {0x1E9, "demo_spell_light", Shape::Sweep, 600, 1800, 0.8},
    {0x1F2, "demo_spell_heal", Shape::Sweep, 400, 900, 1.0},
    {0x1F4, "demo_spell_sparkle", Shape::Tone, 1400, 0, 0.7},
    {0x23A, "demo_swing_miss", Shape::Noise, 0, 0, 0.3},
    {0x23B, "demo_blow_hit", Shape::Noise, 0, 0, 0.2},
    {0x2E6, "demo_chest_open", Shape::Sweep, 300, 500, 0.6},
    {0x2E7, "demo_chest_shut", Shape::Sweep, 500, 200, 0.4},
    {0x054, "demo_click", Shape::Tone, 880, 0, 0.08},
};
// Ids that Sound.def gives the data of another: footsteps while mounted.
const std::pair<int, int> kAliases[] = {{0x129, 0x12B}, {0x12A, 0x12C}};

std::vector<std::int16_t> Render(const DemoSound& sound) {
    const auto count = static_cast<std::size_t>(sound.seconds * kRate);
    std::vector<std::int16_t> out(count);
    std::uint32_t noise = 0x2545F491u ^ sound.id;
    double phase = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = double(i) / kRate;
        const double progress = double(i) / double(count);
        // A short fade in and out keeps every sound free of clicks.
        const double edge = std::min({1.0, t / 0.005, (sound.seconds - t) / 0.02});
        double value = 0;
        switch (sound.shape) {
        case Shape::Tone:
            value = std::sin(2 * kPi * sound.from * t);
            break;
        case Shape::Sweep:
            phase += 2 * kPi * (sound.from + (sound.to - sound.from) * progress) / kRate;
            value = std::sin(phase) * (1 - 0.5 * progress);
            break;
        case Shape::Chime:
            value = (std::sin(2 * kPi * sound.from * t) + 0.5 * std::sin(2 * kPi * sound.from * 2.76 * t)) / 1.5 *
                    std::exp(-4 * progress);
            break;
        case Shape::Noise:
        case Shape::Steps:
            noise ^= noise << 13, noise ^= noise >> 17, noise ^= noise << 5;
            value =
                (double(noise & 0xFFFF) / 32768.0 - 1) * std::exp((sound.shape == Shape::Steps ? -12 : -6) * progress);
            break;
        }
        out[i] = static_cast<std::int16_t>(std::lround(value * edge * 0.6 * 32767));
    }
    return out;
}

std::vector<std::uint8_t> Entry(const DemoSound& sound) {
    std::vector<std::uint8_t> out(40, 0);
    std::copy_n(sound.name, std::min<std::size_t>(std::char_traits<char>::length(sound.name), 39), out.begin());
    for (const auto sample : Render(sound)) {
        out.push_back(static_cast<std::uint8_t>(sample));
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(sample) >> 8));
    }
    return out;
}

void PutLe(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

bool Save(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        std::fprintf(stderr, "make-demo-game-folder: cannot write %s\n", path.c_str());
    return bool(out);
}

bool WriteMul(const std::filesystem::path& folder) {
    std::uint16_t last = 0;
    for (const auto& s : kSounds)
        last = std::max(last, s.id);
    std::vector<std::uint8_t> index, data;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> records(last + 1u, {0xFFFFFFFFu, 0xFFFFFFFFu});
    for (const auto& s : kSounds) {
        const auto entry = Entry(s);
        records[s.id] = {static_cast<std::uint32_t>(data.size()), static_cast<std::uint32_t>(entry.size())};
        data.insert(data.end(), entry.begin(), entry.end());
    }
    for (const auto& [offset, length] : records) {
        PutLe(index, offset, 4);
        PutLe(index, length, 4);
        PutLe(index, 0, 4);
    }
    return Save(folder / "soundidx.mul", index) && Save(folder / "sound.mul", data);
}

// One block holding every sound, the entries' data after it.
bool WriteUop(const std::filesystem::path& folder) {
    constexpr std::size_t kCount = std::size(kSounds);
    std::vector<std::uint8_t> out;
    PutLe(out, 0x0050594D, 4); // "MYP\0"
    PutLe(out, 5, 4);
    PutLe(out, 0xFD23EC43, 4);
    PutLe(out, 40, 8); // the first block
    PutLe(out, 1000, 4);
    PutLe(out, kCount, 4);
    out.resize(40, 0);
    PutLe(out, kCount, 4);
    PutLe(out, 0, 8); // the last block
    const std::size_t table = out.size();
    out.resize(table + 34 * kCount, 0);
    for (std::size_t i = 0; i < kCount; ++i) {
        const auto entry = Entry(kSounds[i]);
        std::vector<std::uint8_t> record;
        PutLe(record, out.size(), 8);
        PutLe(record, 12, 4);
        PutLe(record, entry.size(), 4);
        PutLe(record, entry.size(), 4);
        PutLe(record, UopHash(UopSoundEntryName(kSounds[i].id)), 8);
        PutLe(record, 0, 4);
        PutLe(record, 0, 2);
        std::copy(record.begin(), record.end(), out.begin() + static_cast<std::ptrdiff_t>(table + 34 * i));
        out.resize(out.size() + 12, 0); // the entry's data header, which readers skip
        out.insert(out.end(), entry.begin(), entry.end());
    }
    return Save(folder / "soundLegacyMUL.uop", out) && Save(folder / "MainMisc.uop", {});
}

bool WriteDefinitions(const std::filesystem::path& folder) {
    std::string text = "# Mounted footsteps sound as the ones on foot.\n";
    for (const auto& [id, target] : kAliases)
        text += std::to_string(id) + " {" + std::to_string(target) + "} 0\n";
    return Save(folder / "Sound.def", std::vector<std::uint8_t>(text.begin(), text.end()));
}

} // namespace

int main(int argc, char** argv) {
    bool uop = false;
    std::string folder;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--uop")
            uop = true;
        else if (folder.empty() && !arg.starts_with("-"))
            folder = arg;
        else
            folder.clear(), i = argc;
    }
    if (folder.empty()) {
        std::fputs("Usage: make-demo-game-folder [--uop] DIR\n", stderr);
        return 2;
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        std::fprintf(stderr, "make-demo-game-folder: cannot create %s: %s\n", folder.c_str(), error.message().c_str());
        return 1;
    }
    return (uop ? WriteUop(folder) : WriteMul(folder)) && WriteDefinitions(folder) ? 0 : 1;
}
