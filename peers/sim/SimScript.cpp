#include "SimScript.h"

#include <charconv>

static constexpr long long kMaxWaitMs = 24LL * 3600 * 1000;

static std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

static bool ParseHex(std::string_view text, unsigned long long max, unsigned long long& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty())
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return ec == std::errc() && end == text.data() + text.size() && value <= max;
}

static int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Each word is an even number of hexadecimal digits: "54 01 01f4" and "540101f4" are the same bytes.
static bool ParseHexBytes(const std::vector<std::string_view>& words, std::size_t from,
                          std::vector<std::uint8_t>& bytes, std::string& error) {
    for (std::size_t w = from; w < words.size(); ++w) {
        const std::string_view word = words[w];
        if (word.size() % 2 != 0) {
            error = "\"" + std::string(word) + "\" is not a whole number of hexadecimal bytes";
            return false;
        }
        for (std::size_t i = 0; i < word.size(); i += 2) {
            const int high = HexDigit(word[i]);
            const int low = HexDigit(word[i + 1]);
            if (high < 0 || low < 0) {
                error = "\"" + std::string(word) + "\" is not hexadecimal";
                return false;
            }
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        }
    }
    return true;
}

static bool Fail(std::string& error, std::string reason) {
    error = std::move(reason);
    return false;
}

bool ParseDecimal(std::string_view text, long long min, long long max, long long& value) {
    if (!text.empty() && text[0] == '+')
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    return ec == std::errc() && end == text.data() + text.size() && value >= min && value <= max;
}

ScriptLine ParseScriptLine(std::string_view line, SimCommand& command, std::string& error) {
    if (const auto hash = line.find('#'); hash != std::string_view::npos)
        line = line.substr(0, hash);
    const auto words = Words(line);
    if (words.empty())
        return ScriptLine::Nothing;

    command = SimCommand{};
    const std::string_view verb = words[0];
    const std::size_t args = words.size() - 1;
    auto ok = [&]() -> bool {
        if (verb == "player") {
            long long x, y, z;
            command.kind = SimCommand::Kind::Player;
            if (args != 3)
                return Fail(error, "player takes X Y Z");
            if (!ParseDecimal(words[1], 0, 65535, x) || !ParseDecimal(words[2], 0, 65535, y))
                return Fail(error, "player X and Y are decimal numbers from 0 to 65535");
            if (!ParseDecimal(words[3], -128, 255, z))
                return Fail(error, "player Z is a decimal number from -128 to 255");
            command.x = static_cast<std::uint16_t>(x);
            command.y = static_cast<std::uint16_t>(y);
            command.z = static_cast<std::uint8_t>(z & 0xFF);
            return true;
        }
        if (verb == "sound") {
            unsigned long long n;
            command.kind = SimCommand::Kind::Sound;
            if (args != 1)
                return Fail(error, "sound takes one hexadecimal number");
            if (!ParseHex(words[1], 0xFFFF, n))
                return Fail(error, "sound number \"" + std::string(words[1]) + "\" is not hexadecimal 0 to ffff");
            command.sound = static_cast<std::uint16_t>(n);
            return true;
        }
        if (verb == "raw") {
            long long code;
            command.kind = SimCommand::Kind::Raw;
            if (args < 1)
                return Fail(error, "raw takes a decimal event code and hexadecimal bytes");
            if (!ParseDecimal(words[1], INT32_MIN, INT32_MAX, code))
                return Fail(error, "raw event code \"" + std::string(words[1]) + "\" is not a 32-bit decimal number");
            command.code = static_cast<std::int32_t>(code);
            if (!ParseHexBytes(words, 2, command.bytes, error))
                return false;
            if (command.bytes.size() > 65536)
                return Fail(error, "raw packet longer than 65536 bytes");
            return true;
        }
        if (verb == "wait") {
            long long ms;
            command.kind = SimCommand::Kind::Wait;
            if (args != 1 || !ParseDecimal(words[1], 0, kMaxWaitMs, ms))
                return Fail(error, "wait takes a decimal number of milliseconds (at most one day)");
            command.waitMs = static_cast<std::uint32_t>(ms);
            return true;
        }
        return Fail(error, "unknown command \"" + std::string(verb) + "\" (player, sound, raw, wait)");
    }();
    return ok ? ScriptLine::Command : ScriptLine::Error;
}
