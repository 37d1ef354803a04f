// The game's sound files, built byte by byte from the file layouts (never taken from a game), read
// back through GameSoundFolder: both file forms, Sound.def, letter case, and the damaged files.

#include "GameSoundFolder.h"
#include "UopHash.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>
#include <zlib.h>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

void PutLe(Bytes& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// An entry: a 40-byte header holding `name` (not NUL-terminated when it fills all 40), then the
// samples little-endian, then `extra` stray bytes.
Bytes Entry(const std::string& name, const std::vector<std::int16_t>& samples, std::size_t extra = 0) {
    Bytes out(40, 0);
    std::copy(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(40, name.size())),
              out.begin());
    for (const auto s : samples)
        PutLe(out, static_cast<std::uint16_t>(s), 2);
    out.insert(out.end(), extra, 0x7F);
    return out;
}

// soundidx.mul + sound.mul.
struct MulFiles {
    Bytes idx, mul;
    void Add(const Bytes& entry) { Record(mul.size(), static_cast<std::uint32_t>(entry.size())), Data(entry); }
    void Record(std::uint64_t offset, std::uint32_t length) {
        PutLe(idx, offset, 4);
        PutLe(idx, length, 4);
        PutLe(idx, 0, 4);
    }
    void Data(const Bytes& bytes) { mul.insert(mul.end(), bytes.begin(), bytes.end()); }
};

// soundLegacyMUL.uop: the header, then blocks as given; each entry's data follows its block.
struct UopEntry {
    std::uint64_t hash;
    Bytes payload;
    std::int16_t compression = 0;
    std::int32_t decompressed = -1; // -1: the payload's size
    bool unusedSlot = false;
    std::int64_t offsetShift = 0; // moves the recorded data offset (past the end, say)
};

Bytes Uop(const std::vector<std::vector<UopEntry>>& blocks, std::int64_t loopBackTo = -1) {
    Bytes out;
    PutLe(out, 0x0050594D, 4);
    PutLe(out, 5, 4);
    PutLe(out, 0xFD23EC43, 4);
    PutLe(out, 40, 8);
    PutLe(out, 1000, 4);
    PutLe(out, 0, 4);
    out.resize(40, 0);
    std::vector<std::size_t> nextFields;
    for (const auto& block : blocks) {
        for (const auto at : nextFields) // the previous block points here
            for (int i = 0; i < 8; ++i)
                out[at + i] = static_cast<std::uint8_t>(std::uint64_t(out.size()) >> (8 * i));
        nextFields.clear();
        PutLe(out, block.size(), 4);
        nextFields.push_back(out.size());
        PutLe(out, 0, 8);
        const std::size_t table = out.size();
        out.resize(out.size() + 34 * block.size(), 0);
        for (std::size_t i = 0; i < block.size(); ++i) {
            const UopEntry& e = block[i];
            Bytes record;
            PutLe(record, e.unusedSlot ? 0 : std::uint64_t(std::int64_t(out.size()) + e.offsetShift), 8);
            PutLe(record, 12, 4);
            PutLe(record, e.payload.size(), 4);
            PutLe(record, e.decompressed < 0 ? e.payload.size() : std::size_t(e.decompressed), 4);
            PutLe(record, e.hash, 8);
            PutLe(record, 0, 4);
            PutLe(record, static_cast<std::uint16_t>(e.compression), 2);
            std::copy(record.begin(), record.end(), out.begin() + static_cast<std::ptrdiff_t>(table + 34 * i));
            out.resize(out.size() + 12, 0); // the data header, never read
            out.insert(out.end(), e.payload.begin(), e.payload.end());
        }
    }
    if (loopBackTo >= 0)
        for (int i = 0; i < 8; ++i)
            out[nextFields.back() + i] = static_cast<std::uint8_t>(std::uint64_t(loopBackTo) >> (8 * i));
    return out;
}

std::uint64_t IdHash(std::uint32_t id) {
    return UopHash(UopSoundEntryName(id));
}

Bytes Deflate(const Bytes& in) {
    uLongf size = compressBound(static_cast<uLong>(in.size()));
    Bytes out(size);
    compress(out.data(), &size, in.data(), static_cast<uLong>(in.size()));
    out.resize(size);
    return out;
}

class Folder {
public:
    Folder() {
        char name[] = "/tmp/kestrune-sounds-test-XXXXXX";
        m_path = mkdtemp(name);
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }
    void Write(const std::string& name, const Bytes& bytes) const {
        std::ofstream(fs::path(m_path) / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    void Write(const std::string& name, const std::string& text) const { Write(name, Bytes(text.begin(), text.end())); }
    void WriteMul(const MulFiles& files) const {
        Write("soundidx.mul", files.idx);
        Write("sound.mul", files.mul);
    }
    void WriteUop(const Bytes& uop) const {
        Write("soundLegacyMUL.uop", uop);
        Write("MainMisc.uop", Bytes{});
    }

private:
    std::string m_path;
};

const std::vector<std::int16_t> kTone = {0, 1000, -1000, 32767, -32768, 5};

} // namespace

TEST(UopHashTest, WorkedValues) {
    const std::pair<std::string, std::uint64_t> cases[] = {
        {"build/soundlegacymul/00000000.dat", 0xCB36450C320CD308},
        {"build/soundlegacymul/00000001.dat", 0x301880457775DD43},
        {"build/soundlegacymul/00000042.dat", 0x6D5E47C6C50CCDC2},
        {"build/soundlegacymul/00000084.dat", 0xDB043C7E62583EC8},
        {"build/soundlegacymul/00004095.dat", 0x0409FA3448D57CE2},
        {"build/multicollection/housing.bin", 0x126D1E99DDEDEE0A},
        {"abc", 0x3C03BE9E0E397631},
        {"123456789012", 0x27F9A1C5B578F5B0},
        {"", 0xDEADBEEFDEADBEEF},
        {"Four score and seven years ago", 0xCE7226E617770551},
    };
    for (const auto& [name, hash] : cases)
        EXPECT_EQ(UopHash(name), hash) << name;
    EXPECT_EQ(UopSoundEntryName(0x54), "build/soundlegacymul/00000084.dat");
}

TEST(GameSoundTest, HeaderAndLength) {
    // 44,140 bytes: 44,100 bytes of samples, one second.
    const GameSound second(Entry("aniv_clock_play_01", {}), 44140);
    EXPECT_EQ(second.Name(), "aniv_clock_play_01");
    EXPECT_EQ(second.SampleCount(), 22050u);
    EXPECT_DOUBLE_EQ(second.Seconds(), 1.0);
    EXPECT_EQ(second.Description(), "aniv_clock_play_01 (1.0 s)");
    EXPECT_EQ(GameSound().Description(), "");
    EXPECT_FALSE(GameSound(Entry("x", {}), 39).HasData());
}

// Both forms hold the same sounds; which one is read follows the installation.
TEST(GameSoundFolderTest, ChoosesTheFormAsTheClientDoes) {
    struct Case {
        const char* what;
        bool mul, uop, mainMisc;
        std::optional<std::uint32_t> version;
        std::optional<GameSoundFolder::Form> expected; // none: no sounds
    };
    const Case cases[] = {
        {"MUL pair only", true, false, false, {}, GameSoundFolder::Form::Mul},
        {"both, UOP installation", true, true, true, {}, GameSoundFolder::Form::Uop},
        {"both, no MainMisc.uop", true, true, false, {}, GameSoundFolder::Form::Mul},
        {"both, client older than 7.0", true, true, true, 0x06000000u, GameSoundFolder::Form::Mul},
        {"both, client 7.0.102.3", true, true, true, 0x07006603u, GameSoundFolder::Form::Uop},
        {"UOP without MainMisc.uop", false, true, false, {}, std::nullopt},
        {"nothing", false, false, false, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        MulFiles mul;
        mul.Add(Entry("from_mul", kTone));
        if (c.mul)
            folder.WriteMul(mul);
        if (c.uop)
            folder.Write("soundLegacyMUL.uop", Uop({{{IdHash(0), Entry("from_uop", kTone)}}}));
        if (c.mainMisc)
            folder.Write("MainMisc.uop", Bytes{});
        std::string error;
        const auto sounds = GameSoundFolder::Open(folder.Path(), error, c.version);
        ASSERT_EQ(sounds != nullptr, c.expected.has_value()) << error;
        if (!sounds) {
            EXPECT_NE(error.find("no sounds"), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(sounds->FileForm(), *c.expected);
        EXPECT_EQ(sounds->Sound(0).Name(), *c.expected == GameSoundFolder::Form::Uop ? "from_uop" : "from_mul");
        EXPECT_EQ(sounds->Samples(0), kTone);
        EXPECT_EQ(sounds->Problem(), "");
    }
}

TEST(GameSoundFolderTest, MatchesFileNamesWithoutLetterCase) {
    Folder folder;
    MulFiles mul;
    mul.Add(Entry("upper", kTone));
    folder.Write("SOUNDIDX.MUL", mul.idx);
    folder.Write("Sound.Mul", mul.mul);
    folder.Write("sound.def", std::string("1 {0} 0\n"));
    std::string error;
    const auto sounds = GameSoundFolder::Open(folder.Path(), error);
    ASSERT_TRUE(sounds) << error;
    EXPECT_EQ(sounds->Sound(0).Name(), "upper");
    EXPECT_EQ(fs::path(sounds->DataPath()).filename(), "Sound.Mul");
    EXPECT_EQ(sounds->IdCount(), 1u); // Sound.def cannot reach past the index
}

TEST(GameSoundFolderTest, SoundDefGivesEmptyIdsTheDataOfOthers) {
    Folder folder;
    MulFiles mul;
    mul.Add(Entry("zero", kTone));  // 0
    mul.Add(Entry("one", kTone));   // 1
    mul.Record(0xFFFFFFFF, 0);      // 2
    mul.Record(0, 0);               // 3
    mul.Record(0, 0xFFFFFFFF);      // 4
    mul.Record(0xFFFFFFFF, 0);      // 5
    mul.Record(0xFFFFFFFF, 0);      // 6
    mul.Record(0xFFFFFFFF, 0);      // 7
    mul.Add(Entry("eight", kTone)); // 8
    mul.Record(0xFFFFFFFF, 0);      // 9
    folder.WriteMul(mul);
    folder.Write("Sound.def", std::string("# aliases\n"
                                          "2 {0} 0\n" // plain
                                          "3 {0, 1} 0         # the last with data wins\n"
                                          "4\t{5,1,5}\t0\n"      // empty alternatives are passed over
                                          "1 {8} 0\n"            // has its own data: kept
                                          "5 {2} 0\n"            // a later line sees an earlier one's result
                                          "6 {0x1} 0\n"          // hexadecimal: ignored
                                          "0x7 {1} 0\n"          // hexadecimal id: skipped
                                          "7 {99999, 70000} 0\n" // out of range
                                          "99 {1} 0\n"           // id outside the index
                                          "9 8\n"));             // a single alternative, no braces
    std::string error;
    const auto sounds = GameSoundFolder::Open(folder.Path(), error);
    ASSERT_TRUE(sounds) << error;
    const std::map<std::uint16_t, std::string> expected = {{0, "zero"},  {1, "one"},  {2, "zero"}, {3, "one"},
                                                           {4, "one"},   {5, "zero"}, {6, ""},     {7, ""},
                                                           {8, "eight"}, {9, "eight"}};
    for (const auto& [id, name] : expected)
        EXPECT_EQ(sounds->Sound(id).Name(), name) << id;
    EXPECT_EQ(sounds->Remapped(), 5u);
    EXPECT_EQ(sounds->Problem(), "");
}

// Every damage a sound file may carry, each with its one result: the sound has data or not, its
// name, its sample count, and the problem reported (a part of its text; none when empty). A file
// that holds no sounds at all does not open.
TEST(GameSoundFolderTest, DamagedFiles) {
    struct Case {
        const char* what;
        std::function<void(const Folder&)> write;
        std::uint16_t id;
        bool hasData;
        std::string name;
        std::uint32_t samples;
        std::string problem;
        std::string openError = {};
    };
    auto mulWith = [](std::function<void(MulFiles&)> fill) {
        return [fill](const Folder& folder) {
            MulFiles mul;
            fill(mul);
            folder.WriteMul(mul);
        };
    };
    auto uopWith = [](std::vector<std::vector<UopEntry>> blocks, std::int64_t loop = -1) {
        return [blocks, loop](const Folder& folder) { folder.WriteUop(Uop(blocks, loop)); };
    };
    const Bytes good = Entry("good", kTone);
    Bytes corrupt = Deflate(good);
    corrupt[corrupt.size() / 2] ^= 0xFF;
    std::string fortyLetters(40, 'n');
    const Case cases[] = {
        {"index tail shorter than a record", mulWith([&](MulFiles& m) { m.Add(good), m.idx.resize(17); }), 0, true,
         "good", 6, ""},
        {"offset FFFFFFFF", mulWith([&](MulFiles& m) { m.Data(good), m.Record(0xFFFFFFFF, 52); }), 0, false, "", 0, ""},
        {"length 0", mulWith([&](MulFiles& m) { m.Data(good), m.Record(0, 0); }), 0, false, "", 0, ""},
        {"length -1", mulWith([&](MulFiles& m) { m.Data(good), m.Record(0, 0xFFFFFFFF); }), 0, false, "", 0, ""},
        {"past the end of the data", mulWith([&](MulFiles& m) { m.Data(good), m.Record(10, 52); }), 0, false, "", 0,
         "past the end"},
        {"shorter than the header", mulWith([&](MulFiles& m) { m.Data(good), m.Record(0, 39); }), 0, false, "", 0,
         "shorter than the 40-byte header"},
        {"header only", mulWith([&](MulFiles& m) { m.Add(Entry("silent", {})); }), 0, true, "silent", 0, ""},
        {"over 16 MiB", mulWith([&](MulFiles& m) { m.Data(good), m.Record(0, (16u << 20) + 1); }), 0, false, "", 0,
         "over 16 MiB"},
        {"odd number of sample bytes", mulWith([&](MulFiles& m) { m.Add(Entry("odd", kTone, 1)); }), 0, true, "odd", 6,
         ""},
        {"name without NUL", mulWith([&](MulFiles& m) { m.Add(Entry(fortyLetters, kTone)); }), 0, true, fortyLetters, 6,
         ""},
        {"name with bytes outside ASCII", mulWith([&](MulFiles& m) { m.Add(Entry("a\xE9\x01z\x7F/", kTone)); }), 0,
         true, "a??z?/", 6, ""},
        {"empty index", mulWith([](MulFiles&) {}), 0, false, "", 0, ""},
        {"UOP: unused slot", uopWith({{{IdHash(0), good, 0, -1, true}}}), 0, false, "", 0, ""},
        {"UOP: duplicate hash, the first counts",
         uopWith({{{IdHash(0), Entry("first", kTone)}}, {{IdHash(0), Entry("second", kTone)}}}), 0, true, "first", 6,
         ""},
        {"UOP: block chain loops", uopWith({{{IdHash(0), good}}, {{IdHash(1), good}}}, 40), 1, true, "good", 6,
         "loops"},
        {"UOP: next block past the end", uopWith({{{IdHash(0), good}}}, 1 << 20), 0, true, "good", 6,
         "past the end of the file"},
        {"UOP: data past the end", uopWith({{{IdHash(0), good, 0, -1, false, 1000}}}), 0, false, "", 0,
         "past the end of the file"},
        {"UOP: zlib entry", uopWith({{{IdHash(0), Deflate(good), 1, int(good.size())}}}), 0, true, "good", 6, ""},
        {"UOP: broken zlib entry", uopWith({{{IdHash(0), corrupt, 1, int(good.size())}}}), 0, false, "", 0, "zlib"},
        {"UOP: unknown compression", uopWith({{{IdHash(0), good, 3}}}), 0, false, "", 0, "unknown compression"},
        {"UOP: no signature", [](const Folder& f) { f.WriteUop(Bytes(64, 0)); }, 0, false, "", 0, "",
         "no MYP signature"},
        {"UOP: truncated header",
         [](const Folder& f) {
             f.WriteUop(Bytes{0x4D, 0x59, 0x50, 0});
         },
         0, false, "", 0, "", "too short"},
        {"UOP: truncated inside a block",
         [&](const Folder& f) {
             auto uop = Uop({{{IdHash(0), good}, {IdHash(1), good}}});
             uop.resize(60);
             f.WriteUop(uop);
         },
         0, false, "", 0, "block at offset 40"},
        {"no sound files", [](const Folder& f) { f.Write("sound.mul", Bytes{}); }, 0, false, "", 0, "",
         "no sounds found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        c.write(folder);
        std::string error;
        const auto sounds = GameSoundFolder::Open(folder.Path(), error);
        if (!c.openError.empty()) {
            EXPECT_FALSE(sounds);
            EXPECT_NE(error.find(c.openError), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(sounds) << error;
        const GameSound sound = sounds->Sound(c.id);
        EXPECT_EQ(sounds->HasData(c.id) && sound.HasData(), c.hasData);
        EXPECT_EQ(sound.Name(), c.name);
        EXPECT_EQ(sound.SampleCount(), c.samples);
        const auto samples = sounds->Samples(c.id);
        EXPECT_EQ(samples.size(), c.samples);
        if (c.samples == kTone.size()) {
            EXPECT_EQ(samples, kTone);
        }
        if (c.problem.empty())
            EXPECT_EQ(sounds->Problem(), "");
        else
            EXPECT_NE(sounds->Problem().find(c.problem), std::string::npos) << sounds->Problem();
        EXPECT_FALSE(sounds->HasData(0xFFFE));
    }
}

// The list names rows from a worker while a sound is played: readers share the folder.
TEST(GameSoundFolderTest, ConcurrentReaders) {
    Folder folder;
    MulFiles mul;
    std::vector<std::int16_t> longer(5000);
    for (std::size_t i = 0; i < longer.size(); ++i)
        longer[i] = static_cast<std::int16_t>(i * 7);
    for (int i = 0; i < 64; ++i)
        mul.Add(Entry("s" + std::to_string(i), longer));
    mul.Record(1u << 30, 100); // past the end: every thread notes it, the first text stays
    folder.WriteMul(mul);
    std::string error;
    const auto sounds = GameSoundFolder::Open(folder.Path(), error);
    ASSERT_TRUE(sounds) << error;
    std::vector<std::thread> readers;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round)
                for (std::uint16_t id = 0; id < 65; ++id) {
                    const bool right = id == 64 ? !sounds->Sound(id).HasData()
                                                : sounds->Sound(id).Name() == "s" + std::to_string(id) &&
                                                      sounds->Samples(id) == longer;
                    wrong[t] += right ? 0 : 1;
                }
        });
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

// `make run` plays the demo session with the build's synthetic folder: every sound it plays has a
// name and something to hear, in both file forms.
TEST(GameSoundFolderTest, DemoFolderNamesTheDemoSession) {
    std::vector<std::uint16_t> played;
    std::ifstream session(KESTRUNE_DEMO_SESSION);
    for (std::string line; std::getline(session, line);)
        if (line.starts_with("sound "))
            played.push_back(static_cast<std::uint16_t>(std::stoul(line.substr(6), nullptr, 16)));
    ASSERT_GE(played.size(), 10u);
    Folder uopFolder;
    const std::string make = std::string(KESTRUNE_MAKE_DEMO_FOLDER) + " --uop " + uopFolder.Path();
    ASSERT_EQ(std::system(make.c_str()), 0);
    for (const std::string& path : {std::string(KESTRUNE_DEMO_UO_DATA), uopFolder.Path()}) {
        SCOPED_TRACE(path);
        std::string error;
        const auto sounds = GameSoundFolder::Open(path, error);
        ASSERT_TRUE(sounds) << error;
        for (const auto id : played) {
            const GameSound sound = sounds->Sound(id);
            EXPECT_TRUE(sound.Name().starts_with("demo_")) << id;
            EXPECT_TRUE(sound.Audible()) << id;
            EXPECT_EQ(sounds->Samples(id).size(), sound.SampleCount()) << id;
        }
        EXPECT_EQ(sounds->Sound(0x129).Name(), "demo_footstep_left"); // from Sound.def
        EXPECT_EQ(sounds->Sound(0x100).Description(), "demo_town_bell (2.1 s)");
        EXPECT_EQ(sounds->Problem(), "");
    }
}
