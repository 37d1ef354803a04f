#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

// Why SafeFileWriter wrote nothing. Whatever the reason, the file that was there is byte for byte
// as it was.
enum class SafeWriteError {
    None,
    CannotWrite,   // the file or its folder cannot be written, or the disk refused the bytes
    UntrustedLink, // the path goes through a link planted in a shared folder (see below)
};

// Puts new contents in place of a file so that a failed write never harms the old one, and never
// harms any other file.
//
// Symbolic links on the way are followed as the kernel follows them with protected symlinks on
// (not every system turns that on): a link in a sticky, world-writable folder (/tmp) is followed
// only when it belongs to the user or to the folder's owner. Anyone may plant a link there,
// pointing at any file of the user's.
//
// A file that does not exist yet, or that can be replaced with its owner, group and mode kept,
// gets a new file beside it that is renamed over it once the whole contents are on disk. Any other
// existing file (someone else's that the user may write, a group they are not in, more than one
// link, a folder the user may not write) is written in place: its old bytes are kept in memory,
// the disk space for the new ones is reserved before the first byte changes, and should a write
// fail all the same (a copy-on-write or network file system, an I/O error) the old bytes are put
// back. Only a failure of that restoring write too (the disk failing under both) can leave it
// harmed.
class SafeFileWriter {
public:
    // An in-place write keeps the old contents in memory: past this it is refused.
    static constexpr std::uint64_t kMaxInPlaceBytes = 256ull << 20;

    explicit SafeFileWriter(std::string path) : m_path(std::move(path)) {}
    virtual ~SafeFileWriter() = default;
    SafeFileWriter(const SafeFileWriter&) = delete;
    SafeFileWriter& operator=(const SafeFileWriter&) = delete;

    SafeWriteError Write(std::string_view bytes);

protected:
    // One pwrite; tests override it to fail the way a disk does.
    virtual ssize_t WriteAt(int fd, const char* data, std::size_t size, off_t offset);

private:
    bool WriteAll(int fd, std::string_view bytes);
    bool WriteInPlace(const std::string& target, std::string_view bytes);

    std::string m_path;
};
