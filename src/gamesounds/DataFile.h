#pragma once

#include "ByteSource.h"

#include <memory>
#include <string>

// A file opened read-only and read at offsets (pread): nothing of it is held in memory, and
// concurrent readers need no lock. Its size is taken once, when it is opened.
class DataFile final : public ByteSource {
public:
    // Null, with the reason in `error`, when the file cannot be opened or is not a regular file.
    static std::unique_ptr<DataFile> Open(const std::string& path, std::string& error);
    ~DataFile() override;
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;

    const std::string& Path() const { return m_path; }
    std::uint64_t Size() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;

private:
    DataFile(std::string path, int fd, std::uint64_t size) : m_path(std::move(path)), m_fd(fd), m_size(size) {}

    const std::string m_path;
    const int m_fd;
    const std::uint64_t m_size;
};
