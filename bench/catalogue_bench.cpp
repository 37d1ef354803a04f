// Catalogue operations at full size (65,534 entries): the hook pump's per-packet lookup, a file
// load's appends, the auto-add's move-to-end, removal, and the code-page conversions of a save/load.
#include "CodePage.h"
#include "SoundCatalogue.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

static constexpr std::int32_t kFirst = 0x0001;
static constexpr std::int32_t kLast = 0xFFFE;
static constexpr std::int64_t kFull = kLast - kFirst + 1;

static void Fill(SoundCatalogue& catalogue) {
    for (std::int32_t n = kFirst; n <= kLast; ++n) {
        catalogue.AddOrUpdate(n, "comment", n % 3 == 0, false, false, nullptr);
    }
}

static std::vector<std::uint16_t> ShuffledNumbers() {
    std::vector<std::uint16_t> numbers(kFull);
    std::iota(numbers.begin(), numbers.end(), static_cast<std::uint16_t>(kFirst));
    std::shuffle(numbers.begin(), numbers.end(), std::mt19937(42));
    return numbers;
}

static void BM_FindInFullCatalogue(benchmark::State& state) {
    SoundCatalogue catalogue;
    Fill(catalogue);
    const auto numbers = ShuffledNumbers();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(catalogue.Find(numbers[i]));
        i = (i + 1) % numbers.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindInFullCatalogue);

static void BM_IsMutedInFullCatalogue(benchmark::State& state) {
    SoundCatalogue catalogue;
    Fill(catalogue);
    const auto numbers = ShuffledNumbers();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(catalogue.IsMuted(numbers[i]));
        i = (i + 1) % numbers.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IsMutedInFullCatalogue);

// A file load: every number new, keepPosition false.
static void BM_LoadFullCatalogue(benchmark::State& state) {
    SoundCatalogue catalogue;
    for (auto _ : state) {
        state.PauseTiming();
        catalogue.Clear(nullptr);
        state.ResumeTiming();
        Fill(catalogue);
    }
    state.SetItemsProcessed(state.iterations() * kFull);
}
BENCHMARK(BM_LoadFullCatalogue)->Unit(benchmark::kMillisecond);

// The same under one Edit, as the file reader does it: clear and refill under one lock.
static void BM_ClearAndLoadThroughEdit(benchmark::State& state) {
    SoundCatalogue catalogue;
    Fill(catalogue);
    for (auto _ : state) {
        auto edit = catalogue.BeginEdit();
        edit.Clear(nullptr);
        for (std::int32_t n = kFirst; n <= kLast; ++n) {
            edit.AddOrUpdate(n, "comment", false, false);
        }
    }
    state.SetItemsProcessed(state.iterations() * kFull);
}
BENCHMARK(BM_ClearAndLoadThroughEdit)->Unit(benchmark::kMillisecond);

// Every number already listed and re-added from the back: each one moves from the front to the end.
static void BM_ReAddInReverseMovesToEnd(benchmark::State& state) {
    SoundCatalogue catalogue;
    for (auto _ : state) {
        state.PauseTiming();
        catalogue.Clear(nullptr);
        Fill(catalogue);
        state.ResumeTiming();
        for (std::int32_t n = kLast; n >= kFirst; --n) {
            catalogue.AddOrUpdate(n, "comment", false, false, false, nullptr);
        }
    }
    state.SetItemsProcessed(state.iterations() * kFull);
}
BENCHMARK(BM_ReAddInReverseMovesToEnd)->Unit(benchmark::kMillisecond);

static void BM_RemoveAllInRandomOrder(benchmark::State& state) {
    SoundCatalogue catalogue;
    const auto numbers = ShuffledNumbers();
    for (auto _ : state) {
        state.PauseTiming();
        Fill(catalogue);
        state.ResumeTiming();
        for (const std::uint16_t n : numbers) {
            catalogue.Remove(n);
        }
    }
    state.SetItemsProcessed(state.iterations() * kFull);
}
BENCHMARK(BM_RemoveAllInRandomOrder)->Unit(benchmark::kMillisecond);

static void BM_ClearFullCatalogue(benchmark::State& state) {
    SoundCatalogue catalogue;
    for (auto _ : state) {
        state.PauseTiming();
        Fill(catalogue);
        state.ResumeTiming();
        catalogue.Clear(nullptr);
    }
}
BENCHMARK(BM_ClearFullCatalogue)->Unit(benchmark::kMicrosecond);

// A save's walk (and the list's rebuild).
static void BM_SnapshotInDisplayOrder(benchmark::State& state) {
    SoundCatalogue catalogue;
    Fill(catalogue);
    for (auto _ : state) {
        benchmark::DoNotOptimize(catalogue.EntriesInDisplayOrder());
    }
    state.SetItemsProcessed(state.iterations() * kFull);
}
BENCHMARK(BM_SnapshotInDisplayOrder)->Unit(benchmark::kMillisecond);

static void BM_WalkInNumberOrder(benchmark::State& state) {
    SoundCatalogue catalogue;
    Fill(catalogue);
    for (auto _ : state) {
        std::size_t bytes = 0;
        catalogue.BeginWalk().InNumberOrder([&bytes](const SoundEntry& entry) { bytes += entry.comment.size(); });
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kFull);
}
BENCHMARK(BM_WalkInNumberOrder)->Unit(benchmark::kMillisecond);

// One comment each way: through the free functions (a converter opened and closed per text), and
// through one CodePageConverter kept for many texts, as a save and a load do per entry. Arg:
// the code page ("CP932" 0, "UTF-8" 1).
static const char* const kCodePages[] = {"CP932", "UTF-8"};

static void BM_AnsiToUtf8Comment(benchmark::State& state) {
    const std::string comment = "\x83\x54\x83\x45\x83\x93\x83\x68 0x01f4 \x82\xA0\x8A\xBF\x8E\x9A";
    for (auto _ : state) {
        benchmark::DoNotOptimize(AnsiToUtf8(comment, "CP932"));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AnsiToUtf8Comment);

static void BM_Utf8ToAnsiComment(benchmark::State& state) {
    const std::string comment =
        "\xE3\x82\xB5\xE3\x82\xA6\xE3\x83\xB3\xE3\x83\x89 0x01f4 \xE3\x81\x82\xE6\xBC\xA2\xE5\xAD\x97";
    for (auto _ : state) {
        benchmark::DoNotOptimize(Utf8ToAnsi(comment.c_str(), "CP932"));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Utf8ToAnsiComment);

static void BM_Utf8ToAnsiCommentReusingConverter(benchmark::State& state) {
    const std::string comment =
        "\xE3\x82\xB5\xE3\x82\xA6\xE3\x83\xB3\xE3\x83\x89 0x01f4 \xE3\x81\x82\xE6\xBC\xA2\xE5\xAD\x97";
    CodePageConverter toAnsi("UTF-8", kCodePages[state.range(0)]);
    for (auto _ : state) {
        benchmark::DoNotOptimize(toAnsi(comment));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Utf8ToAnsiCommentReusingConverter)->Arg(0)->Arg(1);

// The list shows comments through the free functions, a few dozen texts per paint.
static void BM_AnsiToUtf16Comment(benchmark::State& state) {
    const std::string comment = state.range(0) == 0 ? "\x83\x54\x83\x45\x83\x93\x83\x68 0x01f4" : "a comment";
    for (auto _ : state) {
        benchmark::DoNotOptimize(AnsiToUtf16(comment, kCodePages[state.range(0)]));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AnsiToUtf16Comment)->Arg(0)->Arg(1);

BENCHMARK_MAIN();
