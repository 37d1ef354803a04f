// The game's sound files: opening a folder (the index read once) and naming sounds as a list shows
// them, on files of the real archive's shape (1,666 sounds in a UOP package; 4,096 MUL records).

#include "GameSoundFolder.h"
#include "UopHash.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kSounds = 1666;
constexpr std::uint32_t kSamples = 22050 / 10;

void PutLe(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::vector<std::uint8_t> Entry(std::uint32_t id) {
    std::vector<std::uint8_t> out(40, 0);
    const std::string name = "bench_sound_" + std::to_string(id);
    std::copy(name.begin(), name.end(), out.begin());
    out.resize(40 + 2 * kSamples, 0x11);
    return out;
}

void Save(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Both forms, each in a folder of its own, made once for the whole run.
class Folders {
public:
    Folders() {
        char name[] = "/tmp/kestrune-sounds-bench-XXXXXX";
        m_root = mkdtemp(name);
        std::filesystem::create_directory(Mul());
        std::filesystem::create_directory(Uop());
        std::vector<std::uint8_t> index, data, uop;
        for (std::uint32_t id = 0; id < 4096; ++id) {
            const bool filled = id < kSounds;
            PutLe(index, filled ? data.size() : 0xFFFFFFFF, 4);
            PutLe(index, filled ? 40 + 2 * kSamples : 0xFFFFFFFF, 4);
            PutLe(index, 0, 4);
            if (filled) {
                const auto entry = Entry(id);
                data.insert(data.end(), entry.begin(), entry.end());
            }
        }
        Save(std::filesystem::path(Mul()) / "soundidx.mul", index);
        Save(std::filesystem::path(Mul()) / "sound.mul", data);

        // Blocks of 1,000 entries, as the archive has them.
        PutLe(uop, 0x0050594D, 4);
        PutLe(uop, 5, 4);
        PutLe(uop, 0xFD23EC43, 4);
        PutLe(uop, 40, 8);
        PutLe(uop, 1000, 4);
        PutLe(uop, kSounds, 4);
        uop.resize(40, 0);
        for (std::uint32_t first = 0; first < kSounds; first += 1000) {
            const std::uint32_t count = std::min<std::uint32_t>(1000, kSounds - first);
            const std::size_t block = uop.size();
            PutLe(uop, count, 4);
            PutLe(uop, 0, 8);
            const std::size_t table = uop.size();
            uop.resize(table + 34 * count, 0);
            for (std::uint32_t i = 0; i < count; ++i) {
                const auto entry = Entry(first + i);
                std::vector<std::uint8_t> record;
                PutLe(record, uop.size(), 8);
                PutLe(record, 12, 4);
                PutLe(record, entry.size(), 4);
                PutLe(record, entry.size(), 4);
                PutLe(record, UopHash(UopSoundEntryName(first + i)), 8);
                PutLe(record, 0, 6);
                std::copy(record.begin(), record.end(), uop.begin() + static_cast<std::ptrdiff_t>(table + 34 * i));
                uop.resize(uop.size() + 12, 0);
                uop.insert(uop.end(), entry.begin(), entry.end());
            }
            if (first + 1000 < kSounds)
                for (int b = 0; b < 8; ++b)
                    uop[block + 4 + b] = static_cast<std::uint8_t>(std::uint64_t(uop.size()) >> (8 * b));
        }
        Save(std::filesystem::path(Uop()) / "soundLegacyMUL.uop", uop);
        Save(std::filesystem::path(Uop()) / "MainMisc.uop", {});
    }
    ~Folders() {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
    std::string Mul() const { return m_root + "/mul"; }
    std::string Uop() const { return m_root + "/uop"; }

private:
    std::string m_root;
};

const Folders& TheFolders() {
    static const Folders folders;
    return folders;
}

std::unique_ptr<GameSoundFolder> OpenOrSkip(const std::string& path, benchmark::State& state) {
    std::string error;
    auto sounds = GameSoundFolder::Open(path, error);
    if (!sounds)
        state.SkipWithError(error.c_str());
    return sounds;
}

void BM_OpenFolder(benchmark::State& state) {
    const std::string path = state.range(0) == 0 ? TheFolders().Mul() : TheFolders().Uop();
    state.SetLabel(state.range(0) == 0 ? "MUL, 4,096 records" : "UOP, 1,666 entries, 65,535 names hashed");
    for (auto _ : state)
        benchmark::DoNotOptimize(OpenOrSkip(path, state));
}
BENCHMARK(BM_OpenFolder)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Every row of a full list (65,534 sounds) named once, as the list would on a worker.
void BM_NameEveryId(benchmark::State& state) {
    const auto sounds = OpenOrSkip(state.range(0) == 0 ? TheFolders().Mul() : TheFolders().Uop(), state);
    if (!sounds)
        return;
    std::size_t named = 0;
    for (auto _ : state)
        for (std::uint32_t id = 0; id < 0xFFFE; ++id)
            named += sounds->Sound(static_cast<std::uint16_t>(id)).HasData() ? 1 : 0;
    state.counters["named"] = benchmark::Counter(double(named) / double(state.iterations()));
}
BENCHMARK(BM_NameEveryId)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Samples(benchmark::State& state) {
    const auto sounds = OpenOrSkip(TheFolders().Uop(), state);
    if (!sounds)
        return;
    for (auto _ : state)
        benchmark::DoNotOptimize(sounds->Samples(42));
}
BENCHMARK(BM_Samples)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
