#include "WindowRaiser.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>
#include <xcb/xcb.h>

namespace {

template <class T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <class T> Reply<T> Take(T* reply) {
    return Reply<T>(reply, &std::free);
}

std::vector<xcb_window_t> WindowList(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
    auto reply =
        Take(xcb_get_property_reply(c, xcb_get_property(c, 0, window, property, XCB_ATOM_WINDOW, 0, 4096), nullptr));
    if (!reply || reply->format != 32 || reply->type != XCB_ATOM_WINDOW)
        return {};
    const auto* first = static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
    return {first, first + xcb_get_property_value_length(reply.get()) / 4};
}

std::optional<std::uint32_t> Cardinal(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
    auto reply =
        Take(xcb_get_property_reply(c, xcb_get_property(c, 0, window, property, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4)
        return std::nullopt;
    return *static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
}

} // namespace

WindowRaiser::~WindowRaiser() {
    if (m_connection)
        xcb_disconnect(m_connection);
}

bool WindowRaiser::Connected(std::string& why) {
    if (m_connection && xcb_connection_has_error(m_connection) == 0)
        return true;
    if (m_connection)
        xcb_disconnect(m_connection);
    m_connection = nullptr;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        why = "no X display (DISPLAY is not set)";
        return false;
    }
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(display, &screenNumber);
    if (xcb_connection_has_error(c) != 0) {
        xcb_disconnect(c);
        why = std::string("cannot open the X display ") + display;
        return false;
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int k = 0; k < screenNumber && screens.rem > 0; ++k)
        xcb_screen_next(&screens);
    if (screens.rem == 0) {
        xcb_disconnect(c);
        why = std::string("the X display ") + display + " has no such screen";
        return false;
    }
    m_connection = c;
    m_root = screens.data->root;
    return true;
}

std::uint32_t WindowRaiser::Atom(const char* name) {
    auto reply = Take(xcb_intern_atom_reply(
        m_connection, xcb_intern_atom(m_connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : static_cast<std::uint32_t>(XCB_ATOM_NONE);
}

std::optional<std::uint32_t> WindowRaiser::FindWindow(pid_t pid, std::string& why) {
    if (!Connected(why))
        return std::nullopt;
    const xcb_atom_t pidAtom = Atom("_NET_WM_PID");
    // The window manager's list of managed windows; without one, the root's children (and theirs).
    std::vector<xcb_window_t> candidates = WindowList(m_connection, m_root, Atom("_NET_CLIENT_LIST"));
    if (candidates.empty()) {
        std::vector<xcb_window_t> level{m_root};
        for (int depth = 0; depth < 2; ++depth) {
            std::vector<xcb_window_t> next;
            for (const auto parent : level) {
                auto tree = Take(xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, parent), nullptr));
                if (!tree)
                    continue;
                const auto* children = xcb_query_tree_children(tree.get());
                next.insert(next.end(), children, children + xcb_query_tree_children_length(tree.get()));
            }
            candidates.insert(candidates.end(), next.begin(), next.end());
            level = std::move(next);
        }
    }
    for (const auto window : candidates)
        if (Cardinal(m_connection, window, pidAtom) == static_cast<std::uint32_t>(pid))
            return window;
    why = "no window of the game client's process (" + std::to_string(pid) + ") on the X display";
    return std::nullopt;
}

bool WindowRaiser::Raise(pid_t pid, std::string& why) {
    const auto window = FindWindow(pid, why);
    if (!window)
        return false;
    const xcb_atom_t active = Atom("_NET_ACTIVE_WINDOW");
    if (!WindowList(m_connection, m_root, Atom("_NET_CLIENT_LIST")).empty()) {
        // Source 2: on the user's behalf, so the window manager does not treat it as focus stealing.
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = *window;
        message.type = active;
        message.data.data32[0] = 2;
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(m_connection, 0, m_root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
    } else {
        const std::uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(m_connection, *window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        xcb_set_input_focus(m_connection, XCB_INPUT_FOCUS_POINTER_ROOT, *window, XCB_CURRENT_TIME);
    }
    // A round trip, so a display that went away is noticed here and not at the next raise.
    auto sync = Take(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    if (!sync) {
        why = "the X display went away";
        return false;
    }
    return true;
}
