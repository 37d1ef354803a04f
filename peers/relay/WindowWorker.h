#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// The X display's calls (WindowRaiser) on a thread of their own, so a display that does not
// answer never holds up the game: requests go into a slot where the latest of each kind wins
// (a hundred presses of Play raise the window once), and the answers come back through Fd().
// A worker stuck on a display that never answers is left behind when the relay ends.
class WindowWorker {
public:
    struct Answer {
        bool raise = false;                  // a Raise's answer, else a Find's
        pid_t pid = 0;                       // the process asked about
        std::optional<std::uint32_t> window; // Find: the window found
        bool raised = false;                 // Raise: it was brought forward
        std::string why;                     // when there is no window or it was not raised
    };

    WindowWorker();
    ~WindowWorker();
    WindowWorker(const WindowWorker&) = delete;
    WindowWorker& operator=(const WindowWorker&) = delete;

    void Find(pid_t pid);
    void Raise(pid_t pid);
    // Readable while answers wait; poll it for POLLIN.
    int Fd() const;
    std::vector<Answer> TakeAnswers();
    // A request has been on the display for over a second without an answer.
    bool Stuck() const;

private:
    struct State;
    void Start();

    std::shared_ptr<State> m_state;
    bool m_started = false;
};
