#include "GameSoundFolder.h"

#include "DataFile.h"
#include "MulSoundIndex.h"
#include "SoundDefinitions.h"
#include "UopSoundIndex.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>
#include <zlib.h>

namespace {

constexpr std::uint32_t kUopClientVersion = 7u << 24; // 7.0.0.0
// Sound.def is a few kilobytes of text; anything far larger is not one.
constexpr std::uintmax_t kMaxDefinitionsBytes = 4u << 20;

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

// Inflates a whole zlib stream of exactly `length` bytes (the stream's checksum is checked only at
// its end, so a part of it would be taken on trust). False for anything else.
bool Inflate(std::span<const std::uint8_t> in, std::size_t length, std::vector<std::uint8_t>& out) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return false;
    out.resize(length + 1); // room for one byte too many, to notice it
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    int result = Z_OK;
    while (result == Z_OK)
        result = inflate(&stream, Z_NO_FLUSH);
    const bool ok = result == Z_STREAM_END && stream.avail_out == 1;
    inflateEnd(&stream);
    out.resize(length);
    return ok;
}

} // namespace

std::optional<std::filesystem::path> GameSoundFolder::FindFile(const std::filesystem::path& folder,
                                                               const std::string& name) {
    std::error_code error;
    const auto exact = folder / name;
    if (std::filesystem::is_regular_file(exact, error))
        return exact;
    std::optional<std::filesystem::path> found;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string entry = it->path().filename().string();
        if (SameIgnoringCase(entry, name) && it->is_regular_file(error) && (!found || entry < found->filename()))
            found = it->path();
    }
    return found;
}

std::unique_ptr<GameSoundFolder> GameSoundFolder::Open(const std::string& folder, std::string& error,
                                                       std::optional<std::uint32_t> clientVersion) {
    std::error_code ignored;
    if (!std::filesystem::is_directory(folder, ignored)) {
        error = "the game folder " + folder + " is not a folder";
        return nullptr;
    }
    const auto uop = FindFile(folder, "soundLegacyMUL.uop");
    const bool uopInstall =
        FindFile(folder, "MainMisc.uop").has_value() && (!clientVersion || *clientVersion >= kUopClientVersion);
    Form form = Form::Mul;
    std::unique_ptr<DataFile> data;
    SoundIndex index;
    if (uopInstall && uop) {
        form = Form::Uop;
        data = DataFile::Open(uop->string(), error);
        if (!data)
            return nullptr;
        index = ReadUopSoundIndex(*data);
        if (index.entries.empty()) {
            error = "no sounds in " + uop->string() + ": " + index.problem;
            return nullptr;
        }
        if (!index.problem.empty())
            index.problem = uop->filename().string() + ": " + index.problem;
    } else {
        const auto idx = FindFile(folder, "soundidx.mul");
        const auto mul = FindFile(folder, "sound.mul");
        if (!idx || !mul) {
            error = "no sounds found in " + folder + " (neither soundidx.mul with sound.mul" +
                    std::string(uopInstall ? " nor soundLegacyMUL.uop)" : ")");
            return nullptr;
        }
        data = DataFile::Open(mul->string(), error);
        if (!data)
            return nullptr;
        const auto indexFile = DataFile::Open(idx->string(), error);
        if (!indexFile)
            return nullptr;
        index = ReadMulSoundIndex(*indexFile, data->Size());
        if (!index.problem.empty())
            index.problem = idx->filename().string() + ": " + index.problem;
    }

    std::size_t remapped = 0;
    if (const auto def = FindFile(folder, "Sound.def")) {
        const auto size = std::filesystem::file_size(*def, ignored);
        std::ifstream in(*def, std::ios::binary);
        if (size > kMaxDefinitionsBytes || !in) {
            if (index.problem.empty())
                index.problem = def->filename().string() + ": cannot be read or is too large";
        } else {
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            remapped = ApplySoundDefinitions(text, index.entries);
        }
    }
    const std::string dataPath = data->Path();
    return std::unique_ptr<GameSoundFolder>(new GameSoundFolder(
        folder, form, std::move(data), dataPath, std::move(index.entries), remapped, std::move(index.problem)));
}

GameSoundFolder::GameSoundFolder(std::string folder, Form form, std::unique_ptr<ByteSource> data, std::string dataPath,
                                 std::vector<SoundLocation> entries, std::size_t remapped, std::string problem)
    : m_folder(std::move(folder)), m_form(form), m_data(std::move(data)), m_dataPath(std::move(dataPath)),
      m_entries(std::move(entries)), m_remapped(remapped), m_problem(std::move(problem)) {}

GameSoundFolder::~GameSoundFolder() = default;

std::string GameSoundFolder::Problem() const {
    std::lock_guard lock(m_problemLock);
    return m_problem;
}

void GameSoundFolder::NoteProblem(const std::string& problem) const {
    std::lock_guard lock(m_problemLock);
    if (m_problem.empty())
        m_problem = problem;
}

std::vector<std::uint8_t> GameSoundFolder::ReadEntry(std::uint16_t id, std::uint32_t bytes) const {
    if (!HasData(id))
        return {};
    const SoundLocation& at = m_entries[id];
    const std::string where = m_dataPath + ": sound 0x" + [&] {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04x", id);
        return std::string(hex);
    }();
    if (!at.zlib) {
        std::vector<std::uint8_t> out(std::min(bytes, at.stored));
        if (!m_data->ReadAt(at.offset, out)) {
            NoteProblem(where + " cannot be read (the file is shorter than its index says)");
            return {};
        }
        return out;
    }
    std::vector<std::uint8_t> stored(at.stored);
    std::vector<std::uint8_t> out;
    if (!m_data->ReadAt(at.offset, stored)) {
        NoteProblem(where + " cannot be read (the file is shorter than its index says)");
        return {};
    }
    if (!Inflate(stored, at.length, out)) {
        NoteProblem(where + " is not a valid zlib stream of " + std::to_string(at.length) + " bytes");
        return {};
    }
    out.resize(std::min<std::size_t>(out.size(), bytes));
    return out;
}

GameSound GameSoundFolder::Sound(std::uint16_t id) const {
    const auto header = ReadEntry(id, kSoundHeaderBytes);
    if (header.size() < kSoundHeaderBytes)
        return {};
    return GameSound(header, m_entries[id].length);
}

std::vector<std::int16_t> GameSoundFolder::Samples(std::uint16_t id) const {
    if (!HasData(id))
        return {};
    const auto entry = ReadEntry(id, m_entries[id].length);
    if (entry.size() < kSoundHeaderBytes)
        return {};
    std::vector<std::int16_t> samples(GameSound::SamplesIn(static_cast<std::uint32_t>(entry.size())));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(Le16(entry.data() + kSoundHeaderBytes + 2 * i));
    return samples;
}
