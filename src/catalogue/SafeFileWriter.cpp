#include "SafeFileWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string Join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// Pushes the components of `path` so that the first one is popped first.
void PushComponents(const std::string& path, std::vector<std::string>& pending) {
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

// The kernel's protected-symlinks rule: in a sticky, world-writable folder only links of the user's
// own or of the folder's owner are followed.
bool MayFollow(const std::string& folder, const struct stat& link) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) {
        return false;
    }
    const bool shared = (st.st_mode & S_ISVTX) != 0 && (st.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == geteuid() || link.st_uid == st.st_uid;
}

// The file a write replaces: the path with every link on the way followed, the last component's
// chain of links included, so that a link stays a link and the file it names gets the contents.
// A name that does not exist (yet) ends the walk: the rest is taken as it stands.
SafeWriteError Resolve(const std::string& path, std::string& target) {
    if (path.empty()) {
        return SafeWriteError::CannotWrite;
    }
    std::vector<std::string> pending;
    PushComponents(path, pending);
    std::string folder = path.front() == '/' ? "/" : ".";
    int hops = 0;
    while (!pending.empty()) {
        const std::string name = pending.back();
        pending.pop_back();
        if (name == ".") {
            continue;
        }
        const std::string candidate = Join(folder, name);
        struct stat st {};
        if (name == ".." || lstat(candidate.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            if (pending.empty() || name == ".." || S_ISDIR(st.st_mode)) {
                folder = candidate;
                continue;
            }
            // Missing, or not a folder: the write fails on it as the plain call would.
            target = candidate;
            while (!pending.empty()) {
                target = Join(target, pending.back());
                pending.pop_back();
            }
            return SafeWriteError::None;
        }
        if (++hops > 40) {
            return SafeWriteError::CannotWrite; // a loop
        }
        if (!MayFollow(folder, st)) {
            return SafeWriteError::UntrustedLink;
        }
        std::string link(4096, '\0');
        const ssize_t length = readlink(candidate.c_str(), link.data(), link.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= link.size()) {
            return SafeWriteError::CannotWrite;
        }
        link.resize(static_cast<std::size_t>(length));
        if (link.front() == '/') {
            folder.assign(1, '/');
        }
        PushComponents(link, pending);
    }
    target = folder;
    return SafeWriteError::None;
}

mode_t NewFileMode() {
    // What fopen would have given the file. The umask is read, not set and reset: the hook's
    // threads run meanwhile.
    mode_t mask = 022;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        unsigned value = 0;
        while (std::fgets(line, sizeof line, status)) {
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value);
                break;
            }
        }
        std::fclose(status);
    }
    return 0666 & ~mask;
}

void SyncFolder(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

bool ReadAll(int fd, std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int Reserve(int fd, std::size_t size) {
    int result = 0;
    do {
        result = size == 0 ? 0 : posix_fallocate(fd, 0, static_cast<off_t>(size));
    } while (result == EINTR);
    return result;
}

void RestoreLength(int fd, off_t size) {
    while (ftruncate(fd, size) != 0 && errno == EINTR) {
    }
}

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

} // namespace

ssize_t SafeFileWriter::WriteAt(int fd, const char* data, std::size_t size, off_t offset) {
    return pwrite(fd, data, size, offset);
}

bool SafeFileWriter::WriteAll(int fd, std::string_view bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = WriteAt(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Never truncates first: the old bytes are read, the new ones' space reserved, and only then written
// over them; a write that fails all the same puts the old bytes back.
bool SafeFileWriter::WriteInPlace(const std::string& target, std::string_view bytes) {
    // Read access too, for the copy; O_NOFOLLOW: a link put there since the path was resolved is not followed.
    const Descriptor file{open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW)};
    struct stat st {};
    if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) > kMaxInPlaceBytes) {
        return false;
    }
    std::string old(static_cast<std::size_t>(st.st_size), '\0');
    if (!ReadAll(file.fd, old)) {
        return false;
    }
    if (Reserve(file.fd, bytes.size()) != 0) {
        // Nothing was written; a partly done reservation may have lengthened the file.
        struct stat now {};
        if (fstat(file.fd, &now) == 0 && now.st_size != st.st_size) {
            RestoreLength(file.fd, st.st_size);
        }
        return false;
    }
    const bool written = WriteAll(file.fd, bytes) &&
                         (bytes.size() >= old.size() || ftruncate(file.fd, static_cast<off_t>(bytes.size())) == 0) &&
                         fsync(file.fd) == 0;
    if (!written) {
        if (WriteAll(file.fd, old)) {
            RestoreLength(file.fd, st.st_size);
        }
        fsync(file.fd);
    }
    return written;
}

SafeWriteError SafeFileWriter::Write(std::string_view bytes) {
    std::string target;
    if (const SafeWriteError error = Resolve(m_path, target); error != SafeWriteError::None) {
        return error;
    }
    struct stat existing {};
    const bool exists = lstat(target.c_str(), &existing) == 0;
    if (exists) {
        if (!S_ISREG(existing.st_mode)) {
            return SafeWriteError::CannotWrite; // a folder, a device, a pipe, a link put there meanwhile
        }
        // The plain call's own test: may this user open the file for writing? (Not truncated here.)
        const Descriptor probe{open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW)};
        if (probe.fd < 0) {
            return SafeWriteError::CannotWrite;
        }
    }

    std::string temporary = target + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0 && errno == ENAMETOOLONG) {
        const std::size_t slash = target.rfind('/');
        temporary = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + ".mute-XXXXXX";
        fd = mkstemp(temporary.data());
    }
    if (fd < 0) {
        // No new file can be made beside it (a folder the user may not write): the plain call
        // would still write an existing file in place.
        return exists && WriteInPlace(target, bytes) ? SafeWriteError::None : SafeWriteError::CannotWrite;
    }
    if (exists) {
        struct stat made {};
        const bool sameOwner =
            fstat(fd, &made) == 0 && made.st_uid == existing.st_uid && made.st_gid == existing.st_gid;
        if (existing.st_nlink > 1 || (!sameOwner && fchown(fd, existing.st_uid, existing.st_gid) != 0)) {
            // A replacement would take the file from its owner or group, or from its other links.
            close(fd);
            unlink(temporary.c_str());
            return WriteInPlace(target, bytes) ? SafeWriteError::None : SafeWriteError::CannotWrite;
        }
    }
    bool written = fchmod(fd, exists ? existing.st_mode & 07777 : NewFileMode()) == 0;
    written = written && WriteAll(fd, bytes) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    written = written && rename(temporary.c_str(), target.c_str()) == 0;
    if (!written) {
        unlink(temporary.c_str());
        return SafeWriteError::CannotWrite;
    }
    SyncFolder(target);
    return SafeWriteError::None;
}
