#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The three text forms the program handles: narrow strings in the system code page (what the
// dialog and the catalogue hold), UTF-8 (the catalogue file) and UTF-16 (the system message packet).
//
// Every conversion takes the narrow code page explicitly as an iconv name ("UTF-8", "CP932", ...);
// the overloads without one use SystemCodePage(). A text ends at its first zero byte/unit.
// Malformed input never reads or writes out of bounds: an invalid or truncated sequence decodes
// as U+FFFD, one byte (or unit) at a time, and a character the target lacks becomes one blank.

// The locale's character set (nl_langinfo(CODESET)); the plain C/POSIX locale counts as UTF-8.
const std::string& SystemCodePage();

// One conversion, from `from` to `to` (iconv names), kept open for many texts: the file reader and
// writer convert every attribute with one, since opening iconv for each (about a microsecond)
// would add a third to a full catalogue's load. The free functions below open one per text.
// Not for use from two threads at once.
class CodePageConverter {
public:
    // `unitBytes`: the size of one code unit of `from` (2 for UTF-16).
    CodePageConverter(const std::string& from, const std::string& to, std::size_t unitBytes = 1);
    ~CodePageConverter();
    CodePageConverter(const CodePageConverter&) = delete;
    CodePageConverter& operator=(const CodePageConverter&) = delete;

    // A narrow text, up to its first zero byte.
    std::string operator()(std::string_view text);
    // `units` code units at `text` (no zero ends them), as bytes of `to`.
    std::string Convert(const void* text, std::size_t units);

private:
    void* m_decode; // iconv descriptors: `from` to UTF-32, UTF-32 to `to`
    void* m_encode;
    std::size_t m_unitBytes;
};

std::u16string AnsiToUtf16(std::string_view text, const std::string& codePage);
std::u16string AnsiToUtf16(std::string_view text);

std::string Utf16ToAnsi(std::u16string_view text, const std::string& codePage);
std::string Utf16ToAnsi(std::u16string_view text);

std::string AnsiToUtf8(std::string_view text, const std::string& codePage);
std::string AnsiToUtf8(std::string_view text);

// `text` may be null (an absent attribute): gives an empty text.
std::string Utf8ToAnsi(const char* text, const std::string& codePage);
std::string Utf8ToAnsi(const char* text);
