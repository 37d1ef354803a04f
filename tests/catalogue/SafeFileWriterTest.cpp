#include "SafeFileWriter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sched.h>
#include <set>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::set<std::string> Listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) {
        names.insert(item.path().filename().string());
    }
    return names;
}

class TempFolder {
public:
    TempFolder() {
        std::string name = (fs::temp_directory_path() / "safe-file-writer-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        m_path = name;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    fs::path operator/(const std::string& name) const { return m_path / name; }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

// Runs `body` in a child process and gives its exit status.
int InChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

constexpr uid_t kOther = 65534;
constexpr int kSkipped = 77;

// Each pass over the file is a run of writes; `failAt` fails the write that would go past that many
// bytes of the given pass (0 the new contents, 1 the old ones put back), as a disk error would.
class FailingWriter : public SafeFileWriter {
public:
    FailingWriter(std::string path, int failingPass, std::size_t failAt)
        : SafeFileWriter(std::move(path)), m_failingPass(failingPass), m_failAt(failAt) {}

protected:
    ssize_t WriteAt(int fd, const char* data, std::size_t size, off_t offset) override {
        if (offset == 0) {
            ++m_pass;
        }
        const auto end = static_cast<std::size_t>(offset) + size;
        if (m_pass - 1 == m_failingPass && end > m_failAt) {
            if (static_cast<std::size_t>(offset) >= m_failAt) {
                errno = EIO;
                return -1;
            }
            size = m_failAt - static_cast<std::size_t>(offset); // a short write first, then the error
        }
        return SafeFileWriter::WriteAt(fd, data, size, offset);
    }

private:
    int m_failingPass;
    std::size_t m_failAt;
    int m_pass = 0;
};

} // namespace

// A link in a sticky, world-writable folder is followed only when it is the user's or the folder
// owner's: anyone may plant one there, naming any file of the user's.
TEST(SafeFileWriterTest, FollowsLinksInSharedFoldersOnlyFromTheUserOrTheFolderOwner) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a link to another user";
    }
    struct Case {
        const char* name;
        mode_t folderMode;
        uid_t folderOwner;
        uid_t linkOwner;
        const char* written; // path under the shared folder
        bool followed;
    };
    const uid_t self = geteuid();
    const Case cases[] = {
        {"OtherUsersLinkInStickyFolder", 01777, self, kOther, "cat.xml", false},
        {"OtherUsersLinkToAFolder", 01777, self, kOther, "folder/victim.xml", false},
        {"OwnLink", 01777, self, self, "cat.xml", true},
        {"OwnLinkToAFolder", 01777, self, self, "folder/victim.xml", true},
        {"FolderOwnersLink", 01777, kOther, kOther, "cat.xml", true},
        {"NotSticky", 0777, self, kOther, "cat.xml", true},
        {"StickyButNotWorldWritable", 01770, self, kOther, "cat.xml", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder root;
        fs::create_directory(root / "private");
        WriteBytes(root / "private" / "victim.xml", "the victim's own bytes");
        const fs::path shared = root / "shared";
        fs::create_directory(shared);
        fs::create_symlink(root / "private" / "victim.xml", shared / "cat.xml");
        fs::create_symlink(root / "private", shared / "folder");
        for (const char* link : {"cat.xml", "folder"}) {
            ASSERT_EQ(lchown((shared / link).c_str(), c.linkOwner, static_cast<gid_t>(-1)), 0);
        }
        ASSERT_EQ(chown(shared.c_str(), c.folderOwner, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(chmod(shared.c_str(), c.folderMode), 0);
        const std::set<std::string> listing = Listing(shared);

        const SafeWriteError error = SafeFileWriter((shared / c.written).string()).Write("new contents");
        EXPECT_EQ(error, c.followed ? SafeWriteError::None : SafeWriteError::UntrustedLink);
        EXPECT_EQ(ReadBytes(root / "private" / "victim.xml"), c.followed ? "new contents" : "the victim's own bytes");
        EXPECT_EQ(Listing(shared), listing);
        EXPECT_EQ(Listing(root / "private"), std::set<std::string>{"victim.xml"});
        EXPECT_TRUE(fs::is_symlink(shared / "cat.xml"));
    }
}

// A file written in place (here: one with a second link) is never cut short by a failed save.
TEST(SafeFileWriterTest, FailedInPlaceWriteLeavesTheOldBytes) {
    struct Case {
        const char* name;
        std::size_t newBytes;
        std::function<int(const fs::path& file, const std::string& contents)> save; // in a child
        SafeWriteError error;
    };
    const auto sized = [](std::size_t n) {
        std::string text;
        for (std::size_t i = 0; text.size() < n; ++i) {
            text += "<sound no=\"" + std::to_string(i) + "\"/>\n";
        }
        text.resize(n);
        return text;
    };
    const auto result = [](SafeWriteError error) { return static_cast<int>(error); };
    const Case cases[] = {
        // The file size limit refuses the bytes as a full disk would: before one of the old changes.
        {"FileSizeLimit", 400'000,
         [&](const fs::path& file, const std::string& contents) {
             signal(SIGXFSZ, SIG_IGN);
             const rlimit limit{200'000, 200'000};
             setrlimit(RLIMIT_FSIZE, &limit);
             return result(SafeFileWriter(file.string()).Write(contents));
         },
         SafeWriteError::CannotWrite},
        // A real full disk: a small file system of its own, filled up.
        {"FullDisk", 400'000,
         [&](const fs::path& file, const std::string& contents) {
             const fs::path folder = file.parent_path();
             const std::string old = ReadBytes(file);
             if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=512k") != 0) {
                 return kSkipped;
             }
             WriteBytes(file, old);
             fs::create_hard_link(file, folder / "other-name.xml");
             std::ofstream filler(folder / "filler", std::ios::binary);
             const std::string block(4096, 'f');
             while (filler.write(block.data(), block.size()) && filler.flush()) {
             }
             const SafeWriteError error = SafeFileWriter(file.string()).Write(contents);
             fs::remove(folder / "filler");
             return ReadBytes(file) == old && ReadBytes(folder / "other-name.xml") == old ? result(error) : 100;
         },
         SafeWriteError::CannotWrite},
        // Space was there, the write failed all the same (an I/O error): the old bytes go back.
        {"WriteFailsLonger", 400'000,
         [&](const fs::path& file, const std::string& contents) {
             return result(FailingWriter(file.string(), 0, 123'457).Write(contents));
         },
         SafeWriteError::CannotWrite},
        {"WriteFailsShorter", 50'000,
         [&](const fs::path& file, const std::string& contents) {
             return result(FailingWriter(file.string(), 0, 20'000).Write(contents));
         },
         SafeWriteError::CannotWrite},
        {"ShorterWritten", 50'000,
         [&](const fs::path& file, const std::string& contents) {
             return result(SafeFileWriter(file.string()).Write(contents));
         },
         SafeWriteError::None},
    };
    const std::string old = sized(100'000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path file = folder / "catalogue.xml";
        WriteBytes(file, old);
        fs::create_hard_link(file, folder / "other-name.xml");
        const std::set<std::string> listing = Listing(folder.path());
        struct stat before {};
        ASSERT_EQ(stat(file.c_str(), &before), 0);
        const std::string contents = sized(c.newBytes);

        const int status = InChild([&] { return c.save(file, contents); });
        if (status == kSkipped) {
            std::cerr << c.name << ": skipped (no tmpfs can be mounted here)\n";
            continue;
        }
        EXPECT_EQ(status, result(c.error));
        const std::string expected = c.error == SafeWriteError::None ? contents : old;
        EXPECT_TRUE(ReadBytes(file) == expected) << "the file was harmed";
        EXPECT_TRUE(ReadBytes(folder / "other-name.xml") == expected) << "its other link was harmed";
        EXPECT_EQ(Listing(folder.path()), listing);
        struct stat after {};
        ASSERT_EQ(stat(file.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
    }
}
