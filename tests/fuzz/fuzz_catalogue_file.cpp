// Any bytes as a catalogue file: parse and load them, then save what was loaded and load that
// again. Whatever a file holds, loading must not crash, and what a load gives must save to a file
// that loads back the same, in both code pages.
#include "CatalogueFile.h"

#include <libxml/xmlerror.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

class NullView : public SoundListView {
public:
    void RebuildSoundList() override {}
    void DeleteAllSoundRows() override {}
};

class Scratch {
public:
    Scratch() {
        // In memory where there is such a folder: every save syncs its file.
        std::string folder =
            access("/dev/shm", W_OK) == 0 ? "/dev/shm/fuzz-catalogue-XXXXXX" : "/tmp/fuzz-catalogue-XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) {
            std::abort();
        }
        m_folder = folder;
    }
    ~Scratch() {
        unlink(Input().c_str());
        unlink(Output().c_str());
        rmdir(m_folder.c_str());
    }
    std::string Input() const { return m_folder + "/in.xml"; }
    std::string Output() const { return m_folder + "/out.xml"; }

private:
    std::string m_folder;
};

void Silent(void*, const char*, ...) {}

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

const SoundEntry kBefore{0x1234, true, "before"};

void RoundTrip(const Scratch& scratch, const std::string& codePage, bool sort) {
    const std::optional<CatalogueDocument> document = ParseCatalogueFile(scratch.Input());
    if (!document) {
        return;
    }
    // Reused: a new catalogue costs more than the rest of a run.
    static SoundCatalogue catalogue;
    static SoundCatalogue reloaded;
    NullView view;
    catalogue.Clear(nullptr);
    catalogue.AddOrUpdate(kBefore.number, kBefore.comment, kBefore.mute, false, false, nullptr);
    if (!ApplyCatalogueDocument(*document, catalogue, &view, codePage)) {
        Check(catalogue.EntriesInDisplayOrder() == std::vector<SoundEntry>{kBefore}, "unapplied load changed nothing");
        return;
    }
    Check(catalogue.Count() <= 0xFFFE, "count");

    Check(WriteCatalogueDocument(BuildCatalogueDocument(catalogue, sort, codePage), scratch.Output()), "save");
    const std::optional<CatalogueDocument> saved = ParseCatalogueFile(scratch.Output());
    Check(saved.has_value(), "a saved file parses");
    reloaded.Clear(nullptr);
    reloaded.AddOrUpdate(kBefore.number, kBefore.comment, kBefore.mute, false, false, nullptr);
    const bool applied = ApplyCatalogueDocument(*saved, reloaded, &view, codePage);
    Check(applied == (catalogue.Count() != 0), "a saved catalogue applies unless empty");
    if (applied) {
        const std::vector<SoundEntry> expected =
            sort ? catalogue.EntriesInNumberOrder() : catalogue.EntriesInDisplayOrder();
        Check(reloaded.EntriesInDisplayOrder() == expected, "a saved catalogue loads back the same");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Scratch scratch;
    xmlSetGenericErrorFunc(nullptr, Silent);
    {
        std::ofstream(scratch.Input(), std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const bool sort = size % 2 == 1;
    RoundTrip(scratch, "UTF-8", sort);
    RoundTrip(scratch, "CP932", !sort);
    return 0;
}
