#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

struct xcb_connection_t;

// Finds a process's top-level window on the X display ($DISPLAY) by its _NET_WM_PID, and brings
// it forward: through the window manager (_NET_ACTIVE_WINDOW) when one runs, else by raising
// and focusing it directly. Connects on first use and again after the display went away.
class WindowRaiser {
public:
    WindowRaiser() = default;
    ~WindowRaiser();
    WindowRaiser(const WindowRaiser&) = delete;
    WindowRaiser& operator=(const WindowRaiser&) = delete;

    // None, with the reason, when there is no display or no such window.
    std::optional<std::uint32_t> FindWindow(pid_t pid, std::string& why);
    bool Raise(pid_t pid, std::string& why);

private:
    bool Connected(std::string& why);
    std::uint32_t Atom(const char* name);

    xcb_connection_t* m_connection = nullptr;
    std::uint32_t m_root = 0;
};
