#pragma once

#include "ByteSource.h"
#include "GameSound.h"
#include "SoundIndex.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The sounds of a game data folder, read on demand: the index once when the folder is opened
// (at most 65,535 entries), then a sound's 40-byte header or its samples only when asked, at their
// offsets (the data file is never read whole). File names are matched without regard to letter case.
//
// Which files: soundLegacyMUL.uop on a UOP installation (MainMisc.uop present, and a client
// version of 7.0 or later when one is given), else soundidx.mul + sound.mul; then Sound.def, if
// present, gives ids without data the data of others.
//
// Thread-safe: every method may be called from any thread at once.
class GameSoundFolder {
public:
    enum class Form { Mul, Uop };

    // Null, with the reason in `error`, when the folder holds no usable sound files. A file that is
    // usable but partly broken opens, with the trouble in Problem().
    static std::unique_ptr<GameSoundFolder> Open(const std::string& folder, std::string& error,
                                                 std::optional<std::uint32_t> clientVersion = std::nullopt);
    ~GameSoundFolder();
    GameSoundFolder(const GameSoundFolder&) = delete;
    GameSoundFolder& operator=(const GameSoundFolder&) = delete;

    const std::string& Folder() const { return m_folder; }
    Form FileForm() const { return m_form; }
    // The data file the sounds come from (sound.mul or soundLegacyMUL.uop), as found on disk.
    const std::string& DataPath() const { return m_dataPath; }
    // Ids 0 to IdCount() - 1 are in the index; any other id has no data.
    std::size_t IdCount() const { return m_entries.size(); }
    bool HasData(std::uint16_t id) const { return id < m_entries.size() && !m_entries[id].Empty(); }
    // How many ids Sound.def gave data.
    std::size_t Remapped() const { return m_remapped; }

    // Reads the sound's header: a GameSound without data when it has none or it cannot be read.
    GameSound Sound(std::uint16_t id) const;
    // The sound's samples (signed 16-bit, mono, 22,050 Hz); empty when it has none or they cannot
    // be read.
    std::vector<std::int16_t> Samples(std::uint16_t id) const;

    // The first thing found wrong with the files (while opening, or since, in a read), empty while
    // there is none. It never changes once set: a caller that shows it when it first becomes
    // non-empty reports it once.
    std::string Problem() const;

    // `name` in `folder`: the exact name if it exists, else the one entry whose name equals it
    // under an ASCII case fold (the first in name order when several do).
    static std::optional<std::filesystem::path> FindFile(const std::filesystem::path& folder, const std::string& name);

private:
    GameSoundFolder(std::string folder, Form form, std::unique_ptr<ByteSource> data, std::string dataPath,
                    std::vector<SoundLocation> entries, std::size_t remapped, std::string problem);
    // The entry's first `bytes` bytes (all of it when `bytes` is larger; a compressed entry is
    // inflated whole, to check it); empty, with the problem noted, when they cannot be read.
    std::vector<std::uint8_t> ReadEntry(std::uint16_t id, std::uint32_t bytes) const;
    void NoteProblem(const std::string& problem) const;

    const std::string m_folder;
    const Form m_form;
    const std::unique_ptr<ByteSource> m_data;
    const std::string m_dataPath;
    const std::vector<SoundLocation> m_entries;
    const std::size_t m_remapped;

    mutable std::mutex m_problemLock;
    mutable std::string m_problem;
};
