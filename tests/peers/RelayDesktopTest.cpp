// What the relay finds on the desktop: the game client's process from its connection, and its
// window on an X display (a virtual one, started here).

#include "PeerProcess.h"
#include "RelayHarness.h"
#include "WindowRaiser.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <xcb/xcb.h>

using namespace relaytest;

TEST(PeerProcessTest, FindsTheProcessAtTheOtherEndOfALoopbackConnection) {
    Listener listener;
    Socket client = Socket::Connect(listener.Port());
    Socket accepted = listener.Accept();
    std::string why;
    EXPECT_EQ(ConnectedProcess(accepted.Fd(), why), getpid()) << why;
    EXPECT_EQ(ConnectedProcess(client.Fd(), why), getpid()) << why;
    accepted.Close();
    EXPECT_FALSE(ConnectedProcess(accepted.Fd(), why));
}

namespace {

// Xvfb on a free display number, for as long as the object lives.
class VirtualDisplay {
public:
    VirtualDisplay() {
        for (int number = 90; number < 110 && m_pid <= 0; ++number) {
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
            if (std::filesystem::exists(socket) ||
                std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock"))
                continue;
            const std::string name = ":" + std::to_string(number);
            m_pid = fork();
            if (m_pid == 0) {
                execlp("Xvfb", "Xvfb", name.c_str(), "-nolisten", "tcp", "-screen", "0", "640x480x24",
                       static_cast<char*>(nullptr));
                _exit(127);
            }
            for (int k = 0; k < 100 && !std::filesystem::exists(socket); ++k) {
                if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                    m_pid = -1;
                    return; // no Xvfb here
                }
                std::this_thread::sleep_for(50ms);
            }
            m_name = name;
        }
    }
    ~VirtualDisplay() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    const std::string& Name() const { return m_name; }

private:
    pid_t m_pid = -1;
    std::string m_name;
};

class DisplaySetting {
public:
    explicit DisplaySetting(const char* value) {
        if (const char* old = std::getenv("DISPLAY"))
            m_old = old;
        value ? setenv("DISPLAY", value, 1) : unsetenv("DISPLAY");
    }
    ~DisplaySetting() { m_old.empty() ? unsetenv("DISPLAY") : setenv("DISPLAY", m_old.c_str(), 1); }

private:
    std::string m_old;
};

xcb_window_t MakeWindow(xcb_connection_t* c, xcb_screen_t* screen, std::uint32_t pid, xcb_atom_t pidAtom) {
    const xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 100, 100, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, 0, nullptr);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, pidAtom, XCB_ATOM_CARDINAL, 32, 1, &pid);
    xcb_map_window(c, window);
    return window;
}

} // namespace

TEST(WindowRaiserTest, FindsAndRaisesTheClientsWindow) {
    {
        DisplaySetting none(nullptr);
        WindowRaiser raiser;
        std::string why;
        EXPECT_FALSE(raiser.Raise(getpid(), why));
        EXPECT_NE(why.find("no X display"), std::string::npos) << why;
    }
    VirtualDisplay display;
    if (display.Name().empty())
        GTEST_SKIP() << "Xvfb cannot start here";
    DisplaySetting setting(display.Name().c_str());
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(c), 0);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    auto* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 11, "_NET_WM_PID"), nullptr);
    const xcb_window_t ours = MakeWindow(c, screen, static_cast<std::uint32_t>(getpid()), atom->atom);
    const xcb_window_t other = MakeWindow(c, screen, 1, atom->atom);
    std::free(atom);
    xcb_flush(c);
    auto top = [&] {
        auto* tree = xcb_query_tree_reply(c, xcb_query_tree(c, screen->root), nullptr);
        const xcb_window_t window = xcb_query_tree_children(tree)[xcb_query_tree_children_length(tree) - 1];
        std::free(tree);
        return window;
    };
    ASSERT_EQ(top(), other);

    WindowRaiser raiser;
    std::string why;
    EXPECT_EQ(raiser.FindWindow(getpid(), why), ours) << why;
    EXPECT_FALSE(raiser.FindWindow(getpid() + 100000, why));
    ASSERT_TRUE(raiser.Raise(getpid(), why)) << why;
    EXPECT_EQ(top(), ours);
    xcb_disconnect(c);
}
