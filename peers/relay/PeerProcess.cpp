#include "PeerProcess.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The inode of the socket whose local end is `local` and remote end `remote`, from /proc/net/tcp
// (addresses as the kernel prints them: the raw 32-bit value in hexadecimal, the port in host order).
std::optional<unsigned long> SocketInode(const sockaddr_in& local, const sockaddr_in& remote) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        unsigned localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0;
        unsigned long inode = 0;
        std::istringstream fields(line);
        std::string slot, localText, remoteText, skip;
        fields >> slot >> localText >> remoteText;
        for (int k = 0; k < 6; ++k)
            fields >> skip; // state, queues, timer, retransmits, uid, timeout
        fields >> inode;
        if (std::sscanf(localText.c_str(), "%x:%x", &localAddress, &localPort) != 2 ||
            std::sscanf(remoteText.c_str(), "%x:%x", &remoteAddress, &remotePort) != 2)
            continue;
        if (localAddress == local.sin_addr.s_addr && localPort == ntohs(local.sin_port) &&
            remoteAddress == remote.sin_addr.s_addr && remotePort == ntohs(remote.sin_port) && inode != 0)
            return inode;
    }
    return std::nullopt;
}

std::optional<pid_t> OwnerOfSocket(unsigned long inode) {
    const std::string target = "socket:[" + std::to_string(inode) + "]";
    DIR* proc = opendir("/proc");
    if (!proc)
        return std::nullopt;
    std::optional<pid_t> owner;
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        const std::string fdFolder = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = opendir(fdFolder.c_str());
        if (!fds)
            continue; // another user's process, or gone
        while (const dirent* fd = readdir(fds)) {
            char link[64];
            const std::string path = fdFolder + "/" + fd->d_name;
            const ssize_t length = readlink(path.c_str(), link, sizeof link - 1);
            if (length > 0 && static_cast<std::size_t>(length) == target.size() &&
                std::memcmp(link, target.data(), target.size()) == 0) {
                owner = static_cast<pid_t>(pid);
                break;
            }
        }
        closedir(fds);
        if (owner)
            break;
    }
    closedir(proc);
    return owner;
}

} // namespace

std::optional<pid_t> ConnectedProcess(int fd, std::string& why) {
    sockaddr_in ours{}, theirs{};
    socklen_t length = sizeof ours;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &length) != 0 || ours.sin_family != AF_INET) {
        why = "the client's connection is not IPv4";
        return std::nullopt;
    }
    length = sizeof theirs;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &length) != 0) {
        why = "the client's connection is closed";
        return std::nullopt;
    }
    // The client's socket has the two ends the other way round.
    const auto inode = SocketInode(theirs, ours);
    if (!inode) {
        why = "the client is not on this machine";
        return std::nullopt;
    }
    const auto pid = OwnerOfSocket(*inode);
    if (!pid)
        why = "no process of this user holds the client's end of the connection";
    return pid;
}
