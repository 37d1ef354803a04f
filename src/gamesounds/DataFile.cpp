#include "DataFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::unique_ptr<DataFile> DataFile::Open(const std::string& path, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        error = path + " is not a regular file";
        return nullptr;
    }
    return std::unique_ptr<DataFile>(new DataFile(path, fd, static_cast<std::uint64_t>(info.st_size)));
}

DataFile::~DataFile() {
    close(m_fd);
}

bool DataFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (offset > m_size || out.size() > m_size - offset)
        return false;
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = pread(m_fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false; // an error, or the file shrank since it was opened
        done += static_cast<std::size_t>(got);
    }
    return true;
}
