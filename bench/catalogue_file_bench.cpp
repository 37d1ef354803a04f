// Save and load of a full catalogue file: 65,534 entries with comments, a third of them Japanese.
//
//   catalogue_file_bench [benchmark options]
//   catalogue_file_bench --write-catalogue=PATH   writes the benchmarked file to PATH and exits
//                                                  (tools/bench-catalogue-file.sh times xmllint on it)
//   catalogue_file_bench --write-hostile=FOLDER    writes the files of LoadOrRefuse there and exits
//   catalogue_file_bench --load=PATH               loads PATH once, says how long it took (wall and
//                                                  CPU) and the process's peak memory, and exits
//
// LoadOrRefuse: files that froze the window before they were refused up front (an element of
// 100,000 attributes, 72 KB of entities expanding to 12 comments of 9.9 MB), and the largest file a
// save writes (three comments of 9.99 MB), loaded in the code page of the machine's default.
#include "CatalogueXml.h"

#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

void FillFullCatalogue(SoundCatalogue& catalogue) {
    for (std::uint32_t i = 0; i < 0xFFFE; ++i) {
        // A display order unlike the number order.
        const auto number = static_cast<std::uint16_t>((i * 7919u) % 0xFFFEu + 1u);
        const std::string comment = i % 3 == 0   ? "サウンド " + std::to_string(number) + " 足音・扉の開閉"
                                    : i % 3 == 1 ? "sound effect " + std::to_string(number) + ", door & footsteps"
                                                 : "";
        catalogue.AddOrUpdate(number, comment, i % 5 == 0, false, false, nullptr);
    }
}

const SoundCatalogue& FullCatalogue() {
    static SoundCatalogue catalogue;
    if (catalogue.Count() == 0) {
        FillFullCatalogue(catalogue);
    }
    return catalogue;
}

// A scratch folder for the run; removed at exit.
class Scratch {
public:
    Scratch() {
        std::string folder = "/tmp/catalogue-file-bench-XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        m_folder = folder;
    }
    ~Scratch() {
        unlink(File().c_str());
        rmdir(m_folder.c_str());
    }
    std::string File() const { return m_folder + "/catalogue.xml"; }

private:
    std::string m_folder;
};

const Scratch& BenchScratch() {
    static const Scratch scratch;
    return scratch;
}

bool SaveFull(const std::string& path) {
    return WriteCatalogueDocument(BuildCatalogueDocument(FullCatalogue(), false, "UTF-8"), path);
}

void Build(benchmark::State& state) {
    for (auto _ : state) {
        CatalogueDocument document = BuildCatalogueDocument(FullCatalogue(), state.range(0) != 0, "UTF-8");
        benchmark::DoNotOptimize(document.get());
    }
}

void Save(benchmark::State& state) {
    for (auto _ : state) {
        if (!SaveFull(BenchScratch().File())) {
            state.SkipWithError("save failed");
            break;
        }
    }
}

void Parse(benchmark::State& state) {
    SaveFull(BenchScratch().File());
    for (auto _ : state) {
        std::optional<CatalogueDocument> document = ParseCatalogueFile(BenchScratch().File());
        if (!document) {
            state.SkipWithError("parse failed");
            break;
        }
    }
}

void Load(benchmark::State& state, const char* codePage) {
    SaveFull(BenchScratch().File());
    SoundCatalogue catalogue;
    for (auto _ : state) {
        std::optional<CatalogueDocument> document = ParseCatalogueFile(BenchScratch().File());
        if (!document || !ApplyCatalogueDocument(*document, catalogue, nullptr, codePage)) {
            state.SkipWithError("load failed");
            break;
        }
    }
    if (catalogue.Count() != 0xFFFE) {
        state.SkipWithError("entries lost");
    }
}

// The hook pump's question during a load: one thread asks IsMuted every 100 microseconds, as packets
// come, while the load runs; the longest single wait is reported. Arg 0: the load as it is (entries read first, the
// lock held only for the swap); arg 1: the simplest alternative, the whole read done inside one Edit that holds the
// lock, as it used to be.
void LookupWaitDuringLoad(benchmark::State& state, const char* codePage) {
    SaveFull(BenchScratch().File());
    SoundCatalogue catalogue;
    FillFullCatalogue(catalogue);
    const bool underOneLock = state.range(0) != 0;
    double longest = 0;
    for (auto _ : state) {
        std::atomic<bool> loading{true};
        std::atomic<bool> asking{false};
        double worst = 0;
        std::thread pump([&] {
            std::uint16_t number = 1;
            while (loading.load()) {
                const auto start = std::chrono::steady_clock::now();
                benchmark::DoNotOptimize(catalogue.IsMuted(number));
                worst = std::max(
                    worst, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
                number = static_cast<std::uint16_t>(number % 0xFFFE + 1);
                asking = true;
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        });
        while (!asking.load()) {
        }
        std::optional<CatalogueDocument> document = ParseCatalogueFile(BenchScratch().File());
        bool loaded = document.has_value();
        if (loaded && underOneLock) {
            SoundCatalogue::Edit edit = catalogue.BeginEdit();
            edit.Clear(nullptr);
            ReadCatalogueNodes(xmlDocGetRootElement(document->get()), edit, codePage);
        } else if (loaded) {
            loaded = ApplyCatalogueDocument(*document, catalogue, nullptr, codePage);
        }
        loading = false;
        pump.join();
        if (!loaded || catalogue.Count() != 0xFFFE) {
            state.SkipWithError("load failed");
            break;
        }
        longest = std::max(longest, worst);
    }
    state.counters["longest_lookup_wait_ms"] = longest;
}

void Silent(void*, const char*, ...) {}

// name, contents
std::vector<std::pair<std::string, std::string>> HostileFiles() {
    const auto repeat = [](int count, const std::string& part) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += part;
        }
        return text;
    };
    std::string attributes;
    for (int i = 0; i < 100'000; ++i) {
        attributes += " a" + std::to_string(i) + "=\"\"";
    }
    std::string entities =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE mute [<!ENTITY e \"" + std::string(6000, 'x') + "\">]>\n<mute>\n";
    std::string largest = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<mute>\n";
    for (int i = 0; i < 12; ++i) {
        entities += "  <sound no=\"0x00" + std::to_string(10 + i) + "\" mute=\"no\" comment=\"" + repeat(1650, "&e;") +
                    "\"/>\n";
    }
    for (int i = 0; i < 3; ++i) {
        largest += "  <sound no=\"0x001" + std::to_string(i) + "\" mute=\"no\" comment=\"" +
                   std::string(kMaxCatalogueLineBytes - 50, 'x') + "\"/>\n";
    }
    return {
        {"attributes.xml", "<mute>\n  <sound no=\"0x0010\"" + attributes + "/>\n</mute>\n"},
        {"entities.xml", entities + "</mute>\n"},
        {"largest.xml", largest + "</mute>\n"},
    };
}

// Refused, or loaded and applied; false when it was refused.
bool LoadOnce(const std::string& path) {
    SoundCatalogue catalogue;
    const std::optional<CatalogueDocument> document = ParseCatalogueFile(path);
    return document && ApplyCatalogueDocument(*document, catalogue, nullptr, SystemCodePage());
}

void LoadOrRefuse(benchmark::State& state, std::string name) {
    static const Scratch folder;
    const std::string path = folder.File() + "." + name;
    for (const auto& [file, contents] : HostileFiles()) {
        if (file == name) {
            std::ofstream(path, std::ios::binary) << contents;
        }
    }
    bool loaded = false;
    for (auto _ : state) {
        loaded = LoadOnce(path);
    }
    state.counters["loaded"] = loaded ? 1 : 0;
    unlink(path.c_str());
}

} // namespace

int main(int argc, char** argv) {
    static constexpr char kWrite[] = "--write-catalogue=";
    static constexpr char kHostile[] = "--write-hostile=";
    static constexpr char kLoad[] = "--load=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kWrite, sizeof kWrite - 1) == 0) {
            return SaveFull(argv[i] + sizeof kWrite - 1) ? 0 : 1;
        }
        if (std::strncmp(argv[i], kHostile, sizeof kHostile - 1) == 0) {
            for (const auto& [name, contents] : HostileFiles()) {
                std::ofstream(std::string(argv[i] + sizeof kHostile - 1) + "/" + name, std::ios::binary) << contents;
            }
            return 0;
        }
        if (std::strncmp(argv[i], kLoad, sizeof kLoad - 1) == 0) {
            xmlSetGenericErrorFunc(nullptr, Silent);
            const auto start = std::chrono::steady_clock::now();
            const bool loaded = LoadOnce(argv[i] + sizeof kLoad - 1);
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            rusage usage{};
            getrusage(RUSAGE_SELF, &usage);
            const double cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
            std::printf("%-8s %8.0f ms wall %8.0f ms CPU %6ld MB peak\n", loaded ? "loaded" : "refused", ms, cpu,
                        usage.ru_maxrss / 1024);
            return 0;
        }
    }
    // The library's diagnostics would only interleave with the table.
    xmlSetGenericErrorFunc(nullptr, Silent);

    benchmark::RegisterBenchmark("Build", Build)
        ->ArgName("sorted")
        ->Arg(0)
        ->Arg(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("Save", Save)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("Parse", Parse)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("Load/UTF-8", Load, "UTF-8")->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("Load/CP932", Load, "CP932")->Unit(benchmark::kMillisecond)->UseRealTime();
    for (const char* name : {"attributes.xml", "entities.xml", "largest.xml"}) {
        benchmark::RegisterBenchmark((std::string("LoadOrRefuse/") + name).c_str(), LoadOrRefuse, name)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    for (const char* codePage : {"UTF-8", "CP932"}) {
        benchmark::RegisterBenchmark((std::string("LookupWaitDuringLoad/") + codePage).c_str(), LookupWaitDuringLoad,
                                     codePage)
            ->ArgName("underOneLock")
            ->Arg(0)
            ->Arg(1)
            ->Iterations(5)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
