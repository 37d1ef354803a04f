#include "CatalogueXml.h"
#include "SoundNumber.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <netinet/in.h>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

static const fs::path kData = fs::path(KESTRUNE_TEST_DATA) / "catalogue";

// "足音のテスト" and "足音" in code page 932.
static const std::string kCp932Footsteps = "\x91\xAB\x89\xB9\x82\xCC\x83\x65\x83\x58\x83\x67";
static const std::string kCp932Footsteps2 = "\x91\xAB\x89\xB9";

static std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

static void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

static std::set<std::string> Listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) {
        names.insert(item.path().filename().string());
    }
    return names;
}

class CountingView : public SoundListView {
public:
    void RebuildSoundList() override { ++rebuilds; }
    void DeleteAllSoundRows() override { ++deletions; }
    int rebuilds = 0;
    int deletions = 0;
};

class TempFolder {
public:
    TempFolder() {
        std::string name = (fs::temp_directory_path() / "catalogue-file-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        m_path = name;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(m_path, ignored);
    }
    const fs::path& path() const { return m_path; }
    fs::path operator/(const std::string& name) const { return m_path / name; }

private:
    fs::path m_path;
};

static void Fill(SoundCatalogue& catalogue, const std::vector<SoundEntry>& entries) {
    for (const SoundEntry& entry : entries) {
        catalogue.AddOrUpdate(entry.number, entry.comment, entry.mute, false, false, nullptr);
    }
}

static bool Save(const SoundCatalogue& catalogue, const fs::path& path, bool sort = false,
                 const std::string& codePage = "UTF-8") {
    return WriteCatalogueDocument(BuildCatalogueDocument(catalogue, sort, codePage), path.string());
}

// None when the file was not parsed, else what applying it returned.
static std::optional<bool> Load(const fs::path& path, SoundCatalogue& catalogue, const std::string& codePage = "UTF-8",
                                SoundListView* view = nullptr) {
    const std::optional<CatalogueDocument> document = ParseCatalogueFile(path.string());
    if (!document) {
        return std::nullopt;
    }
    return ApplyCatalogueDocument(*document, catalogue, view, codePage);
}

// Runs `body` in a child process (for limits and identities the test process must not take on)
// and gives its exit status.
static int InChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ---------------------------------------------------------------------------------------------
// Writing: exact bytes.

struct WriteCase {
    const char* name;
    std::vector<SoundEntry> entries;
    bool sort;
    std::string codePage;
    const char* fixture;
    std::vector<SoundEntry> reloaded; // when loading gives other than the saved entries
};

static void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

class CatalogueWriteTest : public testing::TestWithParam<WriteCase> {};

TEST_P(CatalogueWriteTest, WritesTheExpectedBytesAndReadsThemBack) {
    const WriteCase& c = GetParam();
    TempFolder folder;
    SoundCatalogue catalogue;
    Fill(catalogue, c.entries);
    const std::vector<SoundEntry> displayed = catalogue.EntriesInDisplayOrder();

    ASSERT_TRUE(Save(catalogue, folder / "out.xml", c.sort, c.codePage));
    EXPECT_EQ(ReadBytes(folder / "out.xml"), ReadBytes(kData / "write" / c.fixture));
    EXPECT_EQ(catalogue.EntriesInDisplayOrder(), displayed) << "saving must not reorder the catalogue";

    // The same document through the library's own file writer.
    {
        const CatalogueDocument document = BuildCatalogueDocument(catalogue, c.sort, c.codePage);
        ASSERT_GE(xmlSaveFormatFileEnc((folder / "library.xml").c_str(), document.get(), "UTF-8", 1), 0);
    }
    EXPECT_EQ(ReadBytes(folder / "out.xml"), ReadBytes(folder / "library.xml"));

    SoundCatalogue loaded;
    const bool empty = c.entries.empty();
    EXPECT_EQ(Load(folder / "out.xml", loaded, c.codePage), std::optional<bool>(!empty));
    const std::vector<SoundEntry> expected = !c.reloaded.empty() ? c.reloaded
                                             : c.sort            ? catalogue.EntriesInNumberOrder()
                                                                 : displayed;
    EXPECT_EQ(loaded.EntriesInDisplayOrder(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, CatalogueWriteTest,
    testing::Values(
        WriteCase{"Example", {{0x0010, true, "足音のテスト"}, {0x01F4, false, ""}}, false, "UTF-8", "example.xml", {}},
        WriteCase{"ExampleFromCp932",
                  {{0x0010, true, kCp932Footsteps}, {0x01F4, false, ""}},
                  false,
                  "CP932",
                  "example.xml",
                  {}},
        WriteCase{"Empty", {}, false, "UTF-8", "empty.xml", {}},
        WriteCase{"Sorted",
                  {{0x0300, false, "三"}, {0x0010, true, "一"}, {0x0200, false, "二"}},
                  true,
                  "UTF-8",
                  "sorted.xml",
                  {}},
        WriteCase{"Unsorted",
                  {{0x0300, false, "三"}, {0x0010, true, "一"}, {0x0200, false, "二"}},
                  false,
                  "UTF-8",
                  "unsorted.xml",
                  {}},
        WriteCase{"MultiLine", {{0x0ABC, false, "一行目\r\n二行目\r\n"}}, false, "UTF-8", "multiline.xml", {}},
        // Controls XML cannot carry are saved as blanks, so the file stays loadable.
        WriteCase{"Escapes",
                  {{0x0001, false, "a & b <c> \"d\"\t'e'"}, {0xFFFE, true, "bell\x07|\x1f|end"}},
                  false,
                  "UTF-8",
                  "escapes.xml",
                  {{0x0001, false, "a & b <c> \"d\"\t'e'"}, {0xFFFE, true, "bell | |end"}}}),
    [](const auto& info) { return info.param.name; });

TEST(AppendElementTest, TextOnlyWhenGivenAndAttributesUpToTheFirstMissingOne) {
    struct Case {
        const char* text;
        std::initializer_list<std::pair<const char*, const char*>> attributes;
        const char* expected;
    };
    const Case cases[] = {
        {"", {{"a", "1"}, {"b", "2"}}, "<e a=\"1\" b=\"2\"/>"},
        {nullptr, {}, "<e/>"},
        {"body", {{"a", "1"}}, "<e a=\"1\">body</e>"},
        {"", {{"a", "1"}, {nullptr, "2"}, {"c", "3"}}, "<e a=\"1\"/>"},
        {"", {{"a", "1"}, {"b", nullptr}, {"c", "3"}}, "<e a=\"1\"/>"},
        {"", {{"a", ""}}, "<e a=\"\"/>"},
    };
    for (const Case& c : cases) {
        const CatalogueDocument document(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
        xmlNodePtr root = xmlNewNode(nullptr, reinterpret_cast<const xmlChar*>("root"));
        xmlDocSetRootElement(document.get(), root);
        xmlNodePtr element = AppendElement(root, "e", c.text, c.attributes);
        ASSERT_EQ(root->last, element);
        xmlBufferPtr buffer = xmlBufferCreate();
        xmlNodeDump(buffer, document.get(), element, 0, 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer))), c.expected);
        xmlBufferFree(buffer);
    }
}

TEST(CatalogueDocumentTest, MovesOwnership) {
    CatalogueDocument first(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
    CatalogueDocument second(std::move(first));
    EXPECT_EQ(first.get(), nullptr);
    CatalogueDocument third(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
    third = std::move(second); // frees third's own document
    EXPECT_EQ(second.get(), nullptr);
    EXPECT_NE(third.get(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Reading: which nodes become entries.

struct ReadCase {
    const char* name;
    std::string file; // under the fixture folder
    std::string codePage;
    std::optional<bool> result; // none: the file is not parsed
    std::vector<SoundEntry> entries;
};

static void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class CatalogueReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(CatalogueReadTest, LoadsTheExpectedEntries) {
    const ReadCase& c = GetParam();
    const SoundEntry before{0x0ABC, true, "before"};
    SoundCatalogue catalogue;
    Fill(catalogue, {before});
    CountingView view;

    EXPECT_EQ(Load(kData / c.file, catalogue, c.codePage, &view), c.result);
    const bool replaced = c.result.value_or(false);
    EXPECT_EQ(catalogue.EntriesInDisplayOrder(), replaced ? c.entries : std::vector<SoundEntry>{before});
    EXPECT_EQ(view.deletions, replaced ? 1 : 0);
    EXPECT_EQ(view.rebuilds, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, CatalogueReadTest,
    testing::Values(
        ReadCase{"NumberForms",
                 "read/numbers.xml",
                 "UTF-8",
                 true,
                 {{0x001F, false, "no prefix"},
                  {0x0020, false, "upper-case prefix"},
                  {0x0001, false, "low sixteen bits"},
                  {0xFFFE, false, "minus two"},
                  {0x0012, false, "trailing text"}}},
        ReadCase{"MuteForms",
                 "read/mutes.xml",
                 "UTF-8",
                 true,
                 {{1, true, "yes"},
                  {2, true, "YES"},
                  {3, true, "Yes"},
                  {4, false, "trailing blank"},
                  {5, false, "true"},
                  {6, false, "one"},
                  {7, false, "no"},
                  {8, false, "absent"},
                  {9, false, "leading blank"}}},
        ReadCase{"LastDuplicateWinsAndTakesTheLastPlace",
                 "read/duplicate.xml",
                 "UTF-8",
                 true,
                 {{0x0020, false, "between"}, {0x0010, false, "second"}, {0x0030, false, "after"}}},
        ReadCase{"NestedElementsOfAnyName",
                 "read/nested.xml",
                 "UTF-8",
                 true,
                 {{0x0011, false, "before"},
                  {0x0012, true, "inside"},
                  {0x0013, false, "any name"},
                  {0x0014, false, "after"}}},
        ReadCase{"ElementNamedTextIsSkipped", "read/text-element.xml", "UTF-8", true, {{0x0022, false, "kept"}}},
        ReadCase{"WhitespaceRootEmptiesTheCatalogue", "read/whitespace-root.xml", "UTF-8", true, {}},
        ReadCase{
            "RootWithAChildIsReadItself", "read/root-as-entry.xml", "UTF-8", true, {{0x0050, true, "the root itself"}}},
        ReadCase{"RootWithoutChildrenChangesNothing", "read/empty-root.xml", "UTF-8", false, {}},
        ReadCase{"SavedEmptyCatalogueChangesNothing", "write/empty.xml", "UTF-8", false, {}},
        ReadCase{"ElementWithoutNumberIsDropped", "read/missing-no.xml", "UTF-8", true, {{0x0030, false, "kept"}}},
        ReadCase{
            "CommentsInstructionsAndCdataAreDropped", "read/around-root.xml", "UTF-8", true, {{0x0040, false, "kept"}}},
        ReadCase{"CharacterReferences",
                 "read/references.xml",
                 "UTF-8",
                 true,
                 {{0x00A1, true, "<&>\"'\t\xF0\x9F\x94\x8A\r\n"}}},
        ReadCase{"Utf8CodePageKeepsEverything",
                 "read/cp932-lacks.xml",
                 "UTF-8",
                 true,
                 {{0x0070, false, "a€b😀c"}, {0x0071, false, "足音"}}},
        ReadCase{"Cp932LacksCharactersGiveOneBlankEach",
                 "read/cp932-lacks.xml",
                 "CP932",
                 true,
                 {{0x0070, false, "a b c"}, {0x0071, false, kCp932Footsteps2}}},
        ReadCase{"NotWellFormed", "read/not-well-formed.xml", "UTF-8", std::nullopt, {}},
        ReadCase{"MissingFile", "read/does-not-exist.xml", "UTF-8", std::nullopt, {}},
        ReadCase{"Folder", "read", "UTF-8", std::nullopt, {}},
        // Nothing outside the file is read, and entity bombs are refused.
        ReadCase{"ExternalEntityInContentIsNotLoaded",
                 "hostile/external-entity.xml",
                 "UTF-8",
                 true,
                 {{0x0010, false, "kept"}}},
        ReadCase{"ExternalEntityInAttribute", "hostile/external-entity-attribute.xml", "UTF-8", std::nullopt, {}},
        ReadCase{"ExternalDtdIsNotLoaded",
                 "hostile/external-dtd.xml",
                 "UTF-8",
                 true,
                 {{0x0010, false, ""}, {0x0011, false, ""}}},
        ReadCase{"ExternalParameterEntity", "hostile/parameter-entity.xml", "UTF-8", std::nullopt, {}},
        ReadCase{"BillionLaughsInAttribute", "hostile/billion-laughs-attribute.xml", "UTF-8", std::nullopt, {}},
        ReadCase{"BillionLaughsInContent", "hostile/billion-laughs-content.xml", "UTF-8", std::nullopt, {}},
        // The library would unpack these unasked: a small file could unfold into gigabytes.
        ReadCase{"GzipIsNotUnpacked", "hostile/compressed-gzip.xml", "UTF-8", std::nullopt, {}},
        ReadCase{"XzIsNotUnpacked", "hostile/compressed-xz.xml", "UTF-8", std::nullopt, {}}),
    [](const auto& info) { return info.param.name; });

// An internal entity referenced many times in attribute values passes the parser's own checks, but
// every read of the value would expand it again. Each value may expand as far as the parser lets a
// literal value be; all of them together as far as the largest file that is read.
TEST(CatalogueReadTest, AttributeEntityExpansionIsBounded) {
    struct Case {
        const char* name;
        std::size_t entityLength;
        int referencesPerValue;
        int elements;
        std::optional<bool> result;
    };
    const Case cases[] = {
        {"SmallExpansionLoads", 2, 3, 1, true},
        {"ValueUpToTheLimitLoads", 1'000'000, 10, 1, true},
        {"ValuePastTheLimitRefused", 100'000, 101, 1, std::nullopt},
        // 2.8 MB read by xmllint, 12 MB once expanded: a sane file.
        {"OneEntityInManyCommentsLoads", 200, 1, 60'000, true},
        // 1 MB that xmllint reads too, but 144 MB once expanded.
        {"ManyLargeValuesRefusedTogether", 1'000'000, 9, 16, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        std::string text = "<?xml version=\"1.0\"?>\n<!DOCTYPE mute [<!ENTITY big \"" +
                           std::string(c.entityLength, 'x') + "\">]>\n<mute>\n";
        std::string references;
        for (int i = 0; i < c.referencesPerValue; ++i) {
            references += "&big;";
        }
        for (int i = 0; i < c.elements; ++i) {
            text += "  <sound no=\"0x" + FormatSoundNumber(static_cast<std::uint16_t>(i + 0x10)) + "\" comment=\"" +
                    references + "\"/>\n";
        }
        WriteBytes(folder / "bomb.xml", text + "</mute>\n");
        SoundCatalogue catalogue;
        EXPECT_EQ(Load(folder / "bomb.xml", catalogue), c.result);
        if (c.result) {
            const std::vector<SoundEntry> entries = catalogue.EntriesInDisplayOrder();
            ASSERT_EQ(entries.size(), static_cast<std::size_t>(c.elements));
            EXPECT_EQ(entries.back().comment, std::string(c.entityLength * c.referencesPerValue, 'x'));
        }
    }
}

TEST(CatalogueReadTest, NothingIsFetchedFromTheNetwork) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    TempFolder folder;
    WriteBytes(folder / "remote.xml", "<?xml version=\"1.0\"?>\n<!DOCTYPE mute SYSTEM \"" + url +
                                          "/evil.dtd\" [<!ENTITY remote SYSTEM \"" + url + "/entity.xml\">]>\n" +
                                          "<mute>&remote;<sound no=\"0x10\" comment=\"kept\"/></mute>\n");
    SoundCatalogue catalogue;
    EXPECT_EQ(Load(folder / "remote.xml", catalogue), std::optional<bool>(true));
    EXPECT_EQ(catalogue.EntriesInDisplayOrder(), (std::vector<SoundEntry>{{0x10, false, "kept"}}));
    EXPECT_LT(accept(listener, nullptr, nullptr), 0) << "the parser connected to " << url;
    close(listener);
}

TEST(CatalogueReadTest, PipeIsNotRead) {
    TempFolder folder;
    ASSERT_EQ(mkfifo((folder / "pipe.xml").c_str(), 0600), 0);
    EXPECT_FALSE(ParseCatalogueFile((folder / "pipe.xml").string()).has_value()); // and does not wait for a writer
}

TEST(CatalogueReadTest, FileOverTheSizeLimitIsNotParsed) {
    TempFolder folder;
    const fs::path path = folder / "huge.xml";
    {
        std::ofstream file(path);
        file << "<mute><sound no=\"0x0010\"/>";
    }
    // Sparse: the test does not write the bytes, the size alone must refuse it.
    fs::resize_file(path, kMaxCatalogueFileBytes + 1);
    EXPECT_FALSE(ParseCatalogueFile(path.string()).has_value());
}

TEST(CatalogueReadTest, DeepNestingIsRefused) {
    TempFolder folder;
    constexpr int levels = 100'000;
    std::string text = "<mute>";
    for (int i = 0; i < levels; ++i) {
        text += "<a>";
    }
    text += "<sound no=\"0x10\"/>";
    for (int i = 0; i < levels; ++i) {
        text += "</a>";
    }
    WriteBytes(folder / "deep.xml", text + "</mute>\n");
    SoundCatalogue catalogue;
    Fill(catalogue, {{0x0ABC, true, "before"}});
    EXPECT_EQ(Load(folder / "deep.xml", catalogue), std::nullopt);
    EXPECT_EQ(catalogue.Count(), 1u);
}

// Built in memory, past anything the parser accepts: the walk must not recurse, and must keep
// document order (entries before a child list, the list's own, then those after it).
TEST(ReadCatalogueNodesTest, WalksAVeryDeepTreeInDocumentOrder) {
    constexpr int levels = 1'000'000;
    const auto name = [](const char* text) { return reinterpret_cast<const xmlChar*>(text); };
    const CatalogueDocument document(xmlNewDoc(name("1.0")));
    xmlNodePtr node = xmlNewNode(nullptr, name("mute"));
    xmlDocSetRootElement(document.get(), node);
    std::vector<SoundEntry> expectedBefore;
    std::vector<SoundEntry> expectedAfter;
    for (int level = 0; level < levels; ++level) {
        const bool marked = level % 100'000 == 0;
        const auto mark = static_cast<std::uint16_t>(level / 100'000 + 1);
        const std::string before = FormatSoundNumber(mark);
        const std::string after = FormatSoundNumber(0x100 + mark);
        if (marked) {
            AppendElement(node, "before", "", {{"no", before.c_str()}, {"comment", "before"}});
            expectedBefore.push_back({mark, false, "before"});
        }
        xmlNodePtr child = AppendElement(node, "g", "", {});
        if (marked) {
            AppendElement(node, "after", "", {{"no", after.c_str()}, {"comment", "after"}});
            expectedAfter.insert(expectedAfter.begin(),
                                 SoundEntry{static_cast<std::uint16_t>(0x100 + mark), false, "after"});
        }
        node = child;
    }
    AppendElement(node, "sound", "", {{"no", "0xbeef"}, {"mute", "yes"}, {"comment", "bottom"}});

    SoundCatalogue catalogue;
    {
        SoundCatalogue::Edit edit = catalogue.BeginEdit();
        ReadCatalogueNodes(xmlDocGetRootElement(document.get()), edit, "UTF-8");
    }
    std::vector<SoundEntry> expected = expectedBefore;
    expected.push_back({0xBEEF, true, "bottom"});
    expected.insert(expected.end(), expectedAfter.begin(), expectedAfter.end());
    EXPECT_EQ(catalogue.EntriesInDisplayOrder(), expected);
}

TEST(CatalogueRoundTripTest, FullCatalogueOfTensOfMegabytes) {
    TempFolder folder;
    SoundCatalogue catalogue;
    std::vector<SoundEntry> entries;
    for (std::uint32_t i = 0; i < 0xFFFE; ++i) {
        // Display order unlike number order; every comment different and long.
        const auto number = static_cast<std::uint16_t>((i * 7919u) % 0xFFFEu + 1u);
        std::string comment = "音 " + std::to_string(number) + (i % 3 == 0 ? "\r\n<&>\"\t" : " ") +
                              std::string(300 + i % 50, static_cast<char>('a' + i % 26));
        entries.push_back({number, i % 2 == 0, std::move(comment)});
    }
    Fill(catalogue, entries);
    ASSERT_EQ(catalogue.Count(), 0xFFFEu);
    ASSERT_TRUE(Save(catalogue, folder / "large.xml"));
    EXPECT_GT(fs::file_size(folder / "large.xml"), 20'000'000u);

    SoundCatalogue loaded;
    Fill(loaded, {{0x0ABC, true, "replaced"}});
    EXPECT_EQ(Load(folder / "large.xml", loaded), std::optional<bool>(true));
    EXPECT_EQ(loaded.EntriesInDisplayOrder(), entries);
}

// ---------------------------------------------------------------------------------------------
// A failed save leaves the file that was there.

// For a child: the folder open to everyone, then no longer root (root may write any file).
static void BecomeNobodyIn(const TempFolder& folder) {
    chmod(folder.path().c_str(), 0777);
    if (geteuid() == 0 && setuid(65534) != 0) {
        _exit(2);
    }
}

struct FailedSaveCase {
    const char* name;
    std::function<fs::path(const TempFolder&)> prepare; // gives the path to save to
    bool inChild;
    std::function<void(const TempFolder&)> constrain; // runs in the child before saving
};

static void PrintTo(const FailedSaveCase& c, std::ostream* os) {
    *os << c.name;
}

class CatalogueFailedSaveTest : public testing::TestWithParam<FailedSaveCase> {};

TEST_P(CatalogueFailedSaveTest, ReportsFailureAndLeavesEverythingAsItWas) {
    const FailedSaveCase& c = GetParam();
    TempFolder folder;
    SoundCatalogue original;
    Fill(original, {{0x0010, true, "original"}});
    ASSERT_TRUE(Save(original, folder / "catalogue.xml"));
    const std::string before = ReadBytes(folder / "catalogue.xml");
    const fs::path path = c.prepare(folder);
    const std::set<std::string> listing = Listing(folder.path());

    SoundCatalogue catalogue;
    for (int n = 1; n <= 2000; ++n) {
        catalogue.AddOrUpdate(n, "a comment long enough to need many writes", false, false, false, nullptr);
    }
    if (c.inChild) {
        EXPECT_EQ(InChild([&] {
                      c.constrain(folder);
                      return Save(catalogue, path) ? 1 : 0;
                  }),
                  0);
    } else {
        EXPECT_FALSE(Save(catalogue, path));
    }
    fs::permissions(folder.path(), fs::perms::owner_all, fs::perm_options::add);
    EXPECT_EQ(ReadBytes(folder / "catalogue.xml"), before);
    EXPECT_EQ(Listing(folder.path()), listing) << "a temporary file was left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CatalogueFailedSaveTest,
    testing::Values(FailedSaveCase{"PathIsAFolder",
                                   [](const TempFolder& f) {
                                       fs::create_directory(f / "folder");
                                       return f / "folder";
                                   },
                                   false, nullptr},
                    FailedSaveCase{"PathIsAPipe",
                                   [](const TempFolder& f) {
                                       mkfifo((f / "pipe").c_str(), 0600);
                                       return f / "pipe";
                                   },
                                   false, nullptr},
                    FailedSaveCase{"FolderMissing", [](const TempFolder& f) { return f / "missing" / "catalogue.xml"; },
                                   false, nullptr},
                    FailedSaveCase{"FolderNotWritable", [](const TempFolder& f) { return f / "catalogue.xml"; }, true,
                                   [](const TempFolder& f) {
                                       chmod(f.path().c_str(), 0555);
                                       if (geteuid() == 0 &&
                                           setuid(65534) != 0) { // root writes anywhere: become nobody
                                           _exit(2);
                                       }
                                   }},
                    // Only the file's own permission counts, not the folder's.
                    FailedSaveCase{"FileReadOnly",
                                   [](const TempFolder& f) {
                                       chmod((f / "catalogue.xml").c_str(), 0444);
                                       return f / "catalogue.xml";
                                   },
                                   true, [](const TempFolder& f) { BecomeNobodyIn(f); }},
                    FailedSaveCase{"OtherUsersFileWithoutWritePermission",
                                   [](const TempFolder& f) { return f / "catalogue.xml"; }, true,
                                   [](const TempFolder& f) {
                                       if (geteuid() != 0) {
                                           _exit(0); // no other user's file can be made: nothing to try
                                       }
                                       BecomeNobodyIn(f); // the file stays root's, mode 0644
                                   }},
                    FailedSaveCase{"DiskFull", [](const TempFolder& f) { return f / "catalogue.xml"; }, true,
                                   [](const TempFolder&) {
                                       // The file size limit makes writes fail as a full disk would.
                                       signal(SIGXFSZ, SIG_IGN);
                                       const rlimit limit{4096, 4096};
                                       setrlimit(RLIMIT_FSIZE, &limit);
                                   }}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------
// What a successful save replaces, and how.

TEST(CatalogueSaveTest, KeepsTheModeOfAnExistingFile) {
    TempFolder folder;
    SoundCatalogue catalogue;
    Fill(catalogue, {{0x0010, false, "x"}});
    WriteBytes(folder / "kept.xml", "old");
    fs::permissions(folder / "kept.xml", fs::perms(0640));
    ASSERT_TRUE(Save(catalogue, folder / "kept.xml"));
    EXPECT_EQ(fs::status(folder / "kept.xml").permissions(), fs::perms(0640));

    const mode_t previous = umask(027);
    const bool saved = Save(catalogue, folder / "new.xml");
    umask(previous);
    ASSERT_TRUE(saved);
    EXPECT_EQ(fs::status(folder / "new.xml").permissions(), fs::perms(0640));
    EXPECT_EQ(ReadBytes(folder / "kept.xml"), ReadBytes(folder / "new.xml"));
}

// A file the user may write but may not replace without taking it from its owner, its group or
// its other links is written in place, as the plain library call writes it.
TEST(CatalogueSaveTest, WritesInPlaceWhatItMayWriteButNotReplace) {
    struct Case {
        const char* name;
        bool needsRoot;
        std::function<void(const TempFolder&)> prepare; // the parent, before the child saves
        std::function<void(const TempFolder&)> constrain;
    };
    const Case cases[] = {
        {"OtherUsersWritableFile", true, [](const TempFolder&) {}, [](const TempFolder& f) { BecomeNobodyIn(f); }},
        {"FolderNotWritable", false, [](const TempFolder&) {},
         [](const TempFolder& f) {
             BecomeNobodyIn(f);
             chmod(f.path().c_str(), 0555);
         }},
        {"SecondHardLink", false,
         [](const TempFolder& f) { fs::create_hard_link(f / "catalogue.xml", f / "other-name.xml"); },
         [](const TempFolder&) {}},
    };
    SoundCatalogue catalogue;
    Fill(catalogue, {{0x0020, false, "new contents"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && geteuid() != 0) {
            continue;
        }
        TempFolder folder;
        const fs::path path = folder / "catalogue.xml";
        WriteBytes(path, "old");
        chmod(path.c_str(), 0666);
        c.prepare(folder);
        struct stat before {};
        ASSERT_EQ(stat(path.c_str(), &before), 0);
        EXPECT_EQ(InChild([&] {
                      c.constrain(folder);
                      return Save(catalogue, path) ? 0 : 1;
                  }),
                  0);
        chmod(folder.path().c_str(), 0700);
        struct stat after {};
        ASSERT_EQ(stat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(after.st_mode, before.st_mode);
        SoundCatalogue loaded;
        EXPECT_EQ(Load(path, loaded), std::optional<bool>(true));
        EXPECT_EQ(loaded.EntriesInDisplayOrder(), catalogue.EntriesInDisplayOrder());
        EXPECT_EQ(Listing(folder.path()).size(), before.st_nlink) << "a temporary file was left behind";
    }
}

// Whatever a save writes, a load reads back: what it could not, it refuses to write.
TEST(CatalogueSaveTest, RefusesWhatNoLoadCouldRead) {
    // An entry's line around its comment.
    const std::size_t around = std::string_view("  <sound no=\"0x0001\" mute=\"no\" comment=\"\"/>").size();
    const std::size_t longest = kMaxCatalogueLineBytes - around;
    struct Case {
        const char* name;
        std::size_t commentBytes;
        int entries;
        CatalogueFileLimits limits;
        CatalogueSaveError error;
    };
    const Case cases[] = {
        {"LongestEntrySaved", longest, 1, {}, CatalogueSaveError::None},
        // Refused by libxml2 when read in large pieces: its lookahead limit counted them together.
        {"RunOfLongEntriesSaved", 4'000'000, 3, {}, CatalogueSaveError::None},
        {"EntryTooLong", longest + 1, 1, {}, CatalogueSaveError::EntryTooLong},
        // Past the file limit (a smaller one here: 32 MiB would take the sanitizer builds a while).
        {"FileTooLarge", 3'000, 40, {kMaxCatalogueLineBytes, 100'000}, CatalogueSaveError::FileTooLarge},
        {"FileUpToTheLimitSaved", 3'000, 40, {kMaxCatalogueLineBytes, 200'000}, CatalogueSaveError::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        SoundCatalogue catalogue;
        for (int i = 1; i <= c.entries; ++i) {
            catalogue.AddOrUpdate(i, std::string(c.commentBytes, static_cast<char>('a' + i % 26)), false, false, false,
                                  nullptr);
        }
        CatalogueSaveError error = CatalogueSaveError::CannotWrite;
        const bool written = WriteCatalogueDocument(BuildCatalogueDocument(catalogue, false, "UTF-8"),
                                                    (folder / "out.xml").string(), &error, c.limits);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(written, c.error == CatalogueSaveError::None);
        if (written) {
            SoundCatalogue loaded;
            EXPECT_EQ(Load(folder / "out.xml", loaded), std::optional<bool>(true));
            EXPECT_TRUE(loaded.EntriesInDisplayOrder() == catalogue.EntriesInDisplayOrder());
        } else {
            EXPECT_TRUE(Listing(folder.path()).empty());
        }
    }
}

TEST(CatalogueSaveTest, ReplacesTheFileALinkPointsTo) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links; // link name, target as written
        const char* file;                                       // where the content must end up
        bool fileExists;
    };
    const Case cases[] = {
        {"Relative", {{"link.xml", "real.xml"}}, "real.xml", true},
        {"Chain", {{"link.xml", "middle.xml"}, {"middle.xml", "sub/real.xml"}}, "sub/real.xml", true},
        {"Dangling", {{"link.xml", "sub/created.xml"}}, "sub/created.xml", false},
        {"Absolute", {{"link.xml", "@/real.xml"}}, "real.xml", true},
    };
    SoundCatalogue catalogue;
    Fill(catalogue, {{0x0010, true, "through the link"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        fs::create_directory(folder / "sub");
        if (c.fileExists) {
            WriteBytes(folder / c.file, "old");
        }
        for (const auto& [link, target] : c.links) {
            const std::string resolved = target[0] == '@' ? folder.path().string() + target.substr(1) : target;
            fs::create_symlink(resolved, folder / link);
        }
        ASSERT_TRUE(Save(catalogue, folder / "link.xml"));
        for (const auto& link : c.links) {
            EXPECT_TRUE(fs::is_symlink(folder / link.first));
        }
        SoundCatalogue loaded;
        EXPECT_EQ(Load(folder / c.file, loaded), std::optional<bool>(true));
        EXPECT_EQ(loaded.EntriesInDisplayOrder(), catalogue.EntriesInDisplayOrder());
    }
}

TEST(CatalogueSaveTest, LinkLoopFails) {
    TempFolder folder;
    fs::create_symlink("b.xml", folder / "a.xml");
    fs::create_symlink("a.xml", folder / "b.xml");
    SoundCatalogue catalogue;
    EXPECT_FALSE(Save(catalogue, folder / "a.xml"));
    EXPECT_EQ(Listing(folder.path()), (std::set<std::string>{"a.xml", "b.xml"}));
}

// The library takes a file name for a URI: it would decode %-escapes, and fetch or post a name
// that reads as a URL. Paths go to the file system exactly as given.
TEST(CatalogueSaveTest, PathsAreTakenLiterally) {
    TempFolder folder;
    SoundCatalogue catalogue;
    Fill(catalogue, {{0x0010, true, "x"}});
    ASSERT_TRUE(Save(catalogue, folder / "a%41.xml"));
    EXPECT_TRUE(fs::exists(folder / "a%41.xml"));
    EXPECT_FALSE(fs::exists(folder / "aA.xml"));

    WriteBytes(folder / "bB.xml", ReadBytes(folder / "a%41.xml"));
    EXPECT_FALSE(ParseCatalogueFile((folder / "b%42.xml").string()).has_value());

    const fs::path previous = fs::current_path();
    fs::current_path(folder.path());
    fs::create_directories("http:/127.0.0.1:9");
    const bool saved = Save(catalogue, "http://127.0.0.1:9/relative.xml");
    SoundCatalogue loaded;
    const std::optional<bool> result = Load("http://127.0.0.1:9/relative.xml", loaded);
    fs::current_path(previous);
    EXPECT_TRUE(saved);
    EXPECT_EQ(result, std::optional<bool>(true));
    EXPECT_TRUE(fs::exists(folder / "http:" / "127.0.0.1:9" / "relative.xml"));
}

// ---------------------------------------------------------------------------------------------
// Loads that never freeze the window: what the parser would take seconds or gigabytes over is
// refused before it gets there, and what a save writes still loads.

static std::string Entry(int number, const std::string& attributes) {
    return "  <sound no=\"0x" + FormatSoundNumber(static_cast<std::uint16_t>(number)) + "\" mute=\"no\"" + attributes +
           "/>\n";
}

TEST(CatalogueReadTest, RefusesWhatWouldFreezeTheWindowAndLoadsWhatASaveWrites) {
    const auto repeat = [](int count, const std::function<std::string(int)>& part) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += part(i);
        }
        return text;
    };
    const auto attributes = [&](int count) {
        return repeat(count, [](int i) { return " a" + std::to_string(i) + "=\"\""; });
    };
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    struct Case {
        const char* name;
        std::string file;
        CatalogueLoadError error;
        std::size_t entries; // when loaded
    };
    const Case cases[] = {
        // 16 s in libxml2's duplicate check.
        {"HundredThousandAttributes", "<mute>\n" + Entry(0x10, attributes(100'000)) + "</mute>\n",
         CatalogueLoadError::Unsupported, 0},
        {"AttributesUpToTheLimit", "<mute>\n" + Entry(0x10, attributes(62)) + "</mute>\n", CatalogueLoadError::None, 1},
        // 72 KB whose entities expand to 12 comments of 9.9 MB: 5.4 s and 745 MB.
        {"EntityCommentsOfTenMegabytes",
         "<!DOCTYPE mute [<!ENTITY e \"" + std::string(6000, 'x') + "\">]>\n<mute>\n" +
             repeat(12,
                    [&](int i) {
                        return Entry(0x10 + i, " comment=\"" + repeat(1650, [](int) { return "&e;"; }) + "\"");
                    }) +
             "</mute>\n",
         CatalogueLoadError::TooLarge, 0},
        // Markup from an entity never passes the screen: the element of 100,000 attributes inside.
        {"MarkupInAnEntity",
         "<!DOCTYPE mute [<!ENTITY e \"&#60;sound" + attributes(100'000) + "/>\">]>\n<mute>&e;</mute>\n",
         CatalogueLoadError::Unsupported, 0},
        {"ManyAttributeDeclarations",
         "<!DOCTYPE mute [" +
             repeat(100, [](int i) { return "<!ATTLIST sound d" + std::to_string(i) + " CDATA \"x\">"; }) +
             "]>\n<mute>\n" + Entry(0x10, "") + "</mute>\n",
         CatalogueLoadError::Unsupported, 0},
        {"ManyNamespaces",
         "<mute>\n" + repeat(20, [](int i) { return "<g xmlns:p" + std::to_string(i) + "=\"urn:x\">"; }) +
             Entry(0x10, "") + repeat(20, [](int) { return "</g>"; }) + "</mute>\n",
         CatalogueLoadError::Unsupported, 0},
        // 8 million of these in 32 MiB took 8 s and 1.3 GB.
        {"ManyEmptyElements", "<mute>" + repeat(600'000, [](int) { return "<a/>"; }) + "</mute>\n",
         CatalogueLoadError::Unsupported, 0},
        {"ManyReferencesToAnEmptyEntity",
         "<!DOCTYPE mute [<!ENTITY e \"\">]>\n<mute>\n" +
             Entry(0x10, " comment=\"" + repeat(600'000, [](int) { return "&e;"; }) + "\"") + "</mute>\n",
         CatalogueLoadError::Unsupported, 0},
        // A save writes UTF-8: other bytes are refused, whatever the file declares.
        {"Latin1",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<mute>\n" + Entry(0x10, " comment=\"caf\xE9\"") +
             "</mute>\n",
         CatalogueLoadError::Unsupported, 0},
        {"DeclaredUtf16ReadAsUtf8",
         "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<mute>\n" + Entry(0x10, "") + "</mute>\n",
         CatalogueLoadError::None, 1},
        {"ByteOrderMark", "\xEF\xBB\xBF" + declaration + "<mute>\n" + Entry(0x10, "") + "</mute>\n",
         CatalogueLoadError::None, 1},
        // What a user may write in a comment is no markup.
        {"MarkupLikeComment",
         declaration + "<mute>\n" +
             Entry(0x10, " comment=\"" + std::string(1000, '=') + " xmlns a='' &lt;x y=&quot;\"") +
             Entry(0x11, " comment='" + repeat(100, [](int) { return "b=\""; }) + "'") + "</mute>\n",
         CatalogueLoadError::None, 2},
        {"NotWellFormed", declaration + "<mute>\n" + Entry(0x10, "") + "</mutex>\n", CatalogueLoadError::NotWellFormed,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        WriteBytes(folder / "in.xml", c.file);
        CatalogueLoadError error = CatalogueLoadError::CannotRead;
        const std::optional<CatalogueDocument> document = ParseCatalogueFile((folder / "in.xml").string(), &error);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(document.has_value(), c.error == CatalogueLoadError::None);
        if (document && c.error == CatalogueLoadError::None) {
            SoundCatalogue catalogue;
            EXPECT_TRUE(ApplyCatalogueDocument(*document, catalogue, nullptr, "UTF-8"));
            EXPECT_EQ(catalogue.Count(), c.entries);
        }
    }
}

// The size is checked as the file is read: one that grows meanwhile is read no further than the
// limit. (A smaller limit here; the writer keeps ahead of the reader, up to twice the limit.)
TEST(CatalogueReadTest, FileGrowingWhileReadIsRefusedAtTheLimit) {
    constexpr std::uint64_t limit = 2 << 20;
    TempFolder folder;
    const fs::path path = folder / "growing.xml";
    std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<mute>\n";
    for (int i = 1; head.size() + 64 < limit; ++i) {
        head += Entry(i % 0xFFFE + 1, " comment=\"growing\"");
    }
    const std::string more = Entry(0x0ABC, " comment=\"" + std::string(4000, 'g') + "\"");

    // The reader's position, from its descriptor on the file (the writer's own excluded).
    const auto readerPosition = [&](int writerFd) -> std::optional<std::uint64_t> {
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ignored;
            const int fd = std::stoi(entry.path().filename().string());
            if (fd != writerFd && fs::read_symlink(entry.path(), ignored) == path) {
                std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
                std::string key;
                std::uint64_t position = 0;
                if (info >> key >> position && key == "pos:") {
                    return position;
                }
            }
        }
        return std::nullopt;
    };
    CatalogueLoadError error = CatalogueLoadError::None;
    // A writer held off the processor until the reader met the end would make the file end early:
    // not well-formed. Then try again.
    for (int attempt = 0; attempt < 20 && error != CatalogueLoadError::TooLarge; ++attempt) {
        WriteBytes(path, head);
        std::atomic<bool> done{false};
        std::uint64_t written = head.size();
        std::thread writer([&] {
            const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            // Growing only once the reader has started reading: its size check at open has passed.
            while (!done && readerPosition(fd).value_or(0) == 0) {
                std::this_thread::yield();
            }
            while (!done && written < 2 * limit) { // without a limit the reader then meets the end

                if (write(fd, more.data(), more.size()) > 0) {
                    written += more.size();
                }
            }
            close(fd);
        });
        CatalogueFileLimits limits;
        limits.fileBytes = limit;
        const std::optional<CatalogueDocument> document = ParseCatalogueFile(path.string(), &error, limits);
        done = true;
        writer.join();
        EXPECT_FALSE(document.has_value());
    }
    EXPECT_EQ(error, CatalogueLoadError::TooLarge);
}
