#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The lines of a kestrune-sim script: read whole from a file, or from standard input as they are
// typed or piped in (so the script can be driven by hand). Lines are kept for --loop.
class ScriptSource {
public:
    // False, with the reason in `error`, when the file cannot be read.
    bool OpenFile(const std::string& path, std::string& error);
    void OpenStdin();

    const std::vector<std::string>& Lines() const { return m_lines; }
    // Every line is in: the file was read, or standard input reached its end.
    bool Complete() const { return m_fd < 0; }
    // The descriptor to wait on for more lines; -1 when complete.
    int PendingFd() const { return m_fd; }
    // Takes in whatever standard input has; call when PendingFd() is readable.
    void ReadMore();

private:
    void TakeLines(bool atEnd);

    std::vector<std::string> m_lines;
    std::string m_partial;
    int m_fd = -1;
};
