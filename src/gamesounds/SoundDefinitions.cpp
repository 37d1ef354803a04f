#include "SoundDefinitions.h"

#include <optional>
#include <string>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// A decimal number of digits only, below kMaxSoundIds.
std::optional<std::size_t> Decimal(std::string_view text) {
    if (text.empty() || text.size() > 6)
        return std::nullopt;
    std::size_t value = 0;
    for (const char c : text) {
        if (!IsDigit(c))
            return std::nullopt;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value < kMaxSoundIds ? std::optional(value) : std::nullopt;
}

void ApplyLine(std::string_view line, std::vector<SoundLocation>& entries, std::size_t& given) {
    if (const auto hash = line.find('#'); hash != std::string_view::npos)
        line = line.substr(0, hash);
    while (!line.empty() && IsBlank(line.front()))
        line.remove_prefix(1);
    if (line.empty() || !IsDigit(line.front()))
        return;
    std::size_t end = 0;
    while (end < line.size() && !IsBlank(line[end]) && line[end] != '{')
        ++end;
    const auto id = Decimal(line.substr(0, end));
    line.remove_prefix(end);
    while (!line.empty() && IsBlank(line.front()))
        line.remove_prefix(1);
    // The alternatives: a brace group, or a single token.
    std::string_view group;
    if (!line.empty() && line.front() == '{') {
        const auto close = line.find('}');
        group = line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
    } else {
        std::size_t tokenEnd = 0;
        while (tokenEnd < line.size() && !IsBlank(line[tokenEnd]))
            ++tokenEnd;
        group = line.substr(0, tokenEnd);
    }
    if (!id || *id >= entries.size() || !entries[*id].Empty() || group.empty())
        return;
    std::optional<std::size_t> chosen;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= group.size(); ++i) {
        if (i < group.size() && group[i] != ',' && !IsBlank(group[i]))
            continue;
        const auto alternative = Decimal(group.substr(start, i - start));
        if (alternative && *alternative < entries.size() && !entries[*alternative].Empty())
            chosen = alternative;
        start = i + 1;
    }
    if (chosen) {
        entries[*id] = entries[*chosen];
        ++given;
    }
}

} // namespace

std::size_t ApplySoundDefinitions(std::string_view text, std::vector<SoundLocation>& entries) {
    std::size_t given = 0;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        ApplyLine(text.substr(0, newline), entries, given);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    }
    return given;
}
