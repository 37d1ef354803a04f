#include "CodePage.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <iconv.h>
#include <langinfo.h>
#include <mutex>
#include <set>
#include <utility>

// Computed on every call, so it follows the locale the program set with setlocale(LC_ALL, "")
// whenever that happened. The names are kept for the life of the process, so the reference stays
// valid even if the locale changes later.
const std::string& SystemCodePage() {
    const char* codeset = nl_langinfo(CODESET);
    std::string name = codeset != nullptr ? codeset : "";
    if (name.empty() || name == "ANSI_X3.4-1968" || name == "C" || name == "POSIX") {
        name = "UTF-8";
    }
    static std::mutex mutex;
    static std::set<std::string> names; // node-based: references survive later inserts
    std::lock_guard lock(mutex);
    return *names.insert(std::move(name)).first;
}

namespace {

// Every conversion goes through UTF-32 in the machine's byte order: iconv decodes the source into
// it and encodes it into the target, so a stop while decoding always means malformed input (one
// unit becomes U+FFFD) and a stop while encoding always means a character the target lacks (it
// becomes one blank).
constexpr bool kLittle = std::endian::native == std::endian::little;
const char* const kPivot = kLittle ? "UTF-32LE" : "UTF-32BE";
const char* const kUtf16 = kLittle ? "UTF-16LE" : "UTF-16BE";
constexpr char32_t kReplacement = U'\uFFFD';

// glibc loads a code page's module on iconv_open and may unload it on iconv_close, under a lock of
// its own that ThreadSanitizer cannot see: opening and closing under this one too keeps conversions
// on several threads (the tests run some) from being reported as racing in the loader.
std::mutex openLock;

// A code page iconv does not know, or a name with iconv's "//" options (which would change what a
// stop means), is taken as UTF-8: the text still converts, and ASCII comes out right either way.
// (The other side of every descriptor is the pivot, UTF-16 or UTF-8, which iconv always knows.)
iconv_t Open(const std::string& to, const std::string& from) {
    const auto usable = [](const std::string& name) {
        return !name.empty() && name.find('/') == std::string::npos ? name : std::string("UTF-8");
    };
    const std::lock_guard lock(openLock);
    const iconv_t cd = iconv_open(usable(to).c_str(), usable(from).c_str());
    if (cd != reinterpret_cast<iconv_t>(-1)) {
        return cd;
    }
    const auto fixed = [](const std::string& name) { return name == kPivot || name == kUtf16 || name == "UTF-8"; };
    return iconv_open(fixed(to) ? to.c_str() : "UTF-8", fixed(from) ? from.c_str() : "UTF-8");
}

// Runs `cd` over the input, appending to `out`. At a sequence it cannot take, `skip` consumes at
// least one unit of input and may append a stand-in. Ends in the initial shift state. The output
// goes straight into `out`, grown as needed, so that iconv sees the input in as few calls as may be
// (a sanitizer checks all the input left at every call).
template <class Skip> void Feed(iconv_t cd, const char* data, std::size_t size, std::string& out, Skip&& skip) {
    char* in = const_cast<char*>(data); // iconv's signature; it only reads
    std::size_t left = size;
    std::size_t used = out.size();
    out.resize(used + size + 64);
    const auto run = [&](char** from, std::size_t* count) {
        char* dst = out.data() + used;
        std::size_t room = out.size() - used;
        const bool stopped = iconv(cd, from, count, &dst, &room) == static_cast<std::size_t>(-1);
        const int error = stopped ? errno : 0;
        used = static_cast<std::size_t>(dst - out.data());
        if (error == E2BIG) {
            out.resize(out.size() * 2 + 64);
        }
        return error;
    };
    for (;;) {
        const int error = run(&in, &left);
        if (error == E2BIG) {
            continue;
        }
        if ((error == EILSEQ || error == EINVAL) && left > 0) {
            out.resize(used);
            skip(in, left, out);
            used = out.size();
            out.resize(used + left + 64);
            continue;
        }
        break;
    }
    while (run(nullptr, nullptr) == E2BIG) {
    }
    out.resize(used);
}

void AppendUnit(std::string& out, char32_t unit) {
    out.append(reinterpret_cast<const char*>(&unit), sizeof unit);
}

} // namespace

CodePageConverter::CodePageConverter(const std::string& from, const std::string& to, std::size_t unitBytes)
    : m_decode(Open(kPivot, from)), m_encode(Open(to, kPivot)), m_unitBytes(unitBytes) {}

CodePageConverter::~CodePageConverter() {
    const std::lock_guard lock(openLock);
    for (void* cd : {m_decode, m_encode}) {
        if (cd != reinterpret_cast<void*>(-1)) {
            iconv_close(static_cast<iconv_t>(cd));
        }
    }
}

std::string CodePageConverter::Convert(const void* text, std::size_t units) {
    const auto decode = static_cast<iconv_t>(m_decode);
    const auto encode = static_cast<iconv_t>(m_encode);
    std::string wide;
    wide.reserve(units * 4);
    Feed(decode, static_cast<const char*>(text), units * m_unitBytes, wide,
         [this](char*& in, std::size_t& left, std::string& out) {
             AppendUnit(out, kReplacement);
             const std::size_t unit = std::min(left, m_unitBytes);
             in += unit;
             left -= unit;
         });
    std::string result;
    result.reserve(wide.size() / 2);
    Feed(encode, wide.data(), wide.size(), result, [encode](char*& in, std::size_t& left, std::string& out) {
        in += sizeof(char32_t);
        left -= std::min(left, sizeof(char32_t));
        // The blank goes through the converter too, so that a stateful target is in the right state.
        std::string blank;
        AppendUnit(blank, U' ');
        char* blankIn = blank.data();
        std::size_t blankLeft = blank.size();
        char stand[16];
        char* dst = stand;
        std::size_t room = sizeof stand;
        iconv(encode, &blankIn, &blankLeft, &dst, &room);
        out.append(stand, static_cast<std::size_t>(dst - stand));
    });
    return result;
}

std::string CodePageConverter::operator()(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    return text.empty() ? std::string() : Convert(text.data(), text.size());
}

std::u16string AnsiToUtf16(std::string_view text, const std::string& codePage) {
    const std::string bytes = CodePageConverter(codePage, kUtf16)(text);
    return std::u16string(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2);
}

std::string Utf16ToAnsi(std::u16string_view text, const std::string& codePage) {
    text = text.substr(0, text.find(u'\0'));
    return text.empty() ? std::string() : CodePageConverter(kUtf16, codePage, 2).Convert(text.data(), text.size());
}

std::string AnsiToUtf8(std::string_view text, const std::string& codePage) {
    return CodePageConverter(codePage, "UTF-8")(text);
}

std::string Utf8ToAnsi(const char* text, const std::string& codePage) {
    return text == nullptr ? std::string() : CodePageConverter("UTF-8", codePage)(text);
}

std::u16string AnsiToUtf16(std::string_view text) {
    return AnsiToUtf16(text, SystemCodePage());
}
std::string Utf16ToAnsi(std::u16string_view text) {
    return Utf16ToAnsi(text, SystemCodePage());
}
std::string AnsiToUtf8(std::string_view text) {
    return AnsiToUtf8(text, SystemCodePage());
}
std::string Utf8ToAnsi(const char* text) {
    return Utf8ToAnsi(text, SystemCodePage());
}
