#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

// The process at the other end of a TCP connection on this machine (the game client), found
// through the kernel's socket tables and the processes' open descriptors. None, with the
// reason, when the other end is on another machine or belongs to another user.
std::optional<pid_t> ConnectedProcess(int fd, std::string& why);
