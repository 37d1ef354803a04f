#include "ScriptSource.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

bool ScriptSource::OpenFile(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open the script " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        error = "cannot read the script " + path;
        return false;
    }
    m_partial = content.str();
    m_fd = -1;
    TakeLines(true);
    return true;
}

void ScriptSource::OpenStdin() {
    m_fd = STDIN_FILENO;
}

void ScriptSource::ReadMore() {
    if (m_fd < 0)
        return;
    char buffer[4096];
    const ssize_t got = read(m_fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (got <= 0) {
        m_fd = -1;
        TakeLines(true);
        return;
    }
    m_partial.append(buffer, static_cast<std::size_t>(got));
    TakeLines(false);
}

void ScriptSource::TakeLines(bool atEnd) {
    std::size_t start = 0;
    for (std::size_t newline; (newline = m_partial.find('\n', start)) != std::string::npos; start = newline + 1)
        m_lines.push_back(m_partial.substr(start, newline - start));
    m_partial.erase(0, start);
    if (atEnd && !m_partial.empty()) {
        m_lines.push_back(m_partial);
        m_partial.clear();
    }
}
