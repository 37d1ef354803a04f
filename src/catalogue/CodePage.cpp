#include "CodePage.h"

#include <cerrno>
#include <cstddef>
#include <iconv.h>
#include <langinfo.h>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

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

static constexpr char16_t kReplacement = u'\uFFFD';

static bool IsHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
static bool IsLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

static std::string_view UpToZero(std::string_view text) {
    return text.substr(0, text.find('\0'));
}
static std::u16string_view UpToZero(std::u16string_view text) {
    return text.substr(0, text.find(u'\0'));
}

// UTF-8 is converted by hand: it is the file's form and the plain locale's, and the most frequent
// conversion by far, so it goes without iconv's per-call overhead.

static bool IsUtf8Name(std::string_view codePage) {
    const auto is = [codePage](std::string_view name) {
        if (codePage.size() != name.size()) {
            return false;
        }
        for (std::size_t i = 0; i < name.size(); ++i) {
            const char c = codePage[i];
            if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) != name[i]) {
                return false;
            }
        }
        return true;
    };
    return is("UTF-8") || is("UTF8");
}

// The byte length of the complete, shortest-form sequence of a scalar value at the front of `text`
// (not empty), with its code point; 0 when the bytes there are not one.
static std::size_t DecodeUtf8Sequence(std::string_view text, char32_t& codePoint) {
    const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    // Leads C0, C1 and F5 to FF start no shortest-form sequence of a scalar value.
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0) {
        return 0;
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    const char32_t smallest = kSmallest[length];
    codePoint = lead & (0x7Fu >> length);
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u) {
            return 0;
        }
        codePoint = codePoint << 6 | (byte(i) & 0x3Fu);
    }
    if (codePoint < smallest || codePoint > 0x10FFFF || IsHighSurrogate(codePoint) || IsLowSurrogate(codePoint)) {
        return 0;
    }
    return length;
}

static std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string result;
    result.reserve(text.size());
    while (!text.empty()) {
        char32_t codePoint = 0;
        const std::size_t length = DecodeUtf8Sequence(text, codePoint);
        if (length == 0) {
            result.push_back(kReplacement); // one per byte that starts no valid sequence
            text.remove_prefix(1);
            continue;
        }
        text.remove_prefix(length);
        if (codePoint >= 0x10000) {
            result.push_back(static_cast<char16_t>(0xD800 + ((codePoint - 0x10000) >> 10)));
            result.push_back(static_cast<char16_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF)));
        } else {
            result.push_back(static_cast<char16_t>(codePoint));
        }
    }
    return result;
}

static std::string Utf16ToUtf8(std::u16string_view text) {
    std::string result;
    result.reserve(text.size() * 3);
    const auto put = [&result](unsigned value) { result.push_back(static_cast<char>(value)); };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t codePoint = text[i];
        if (IsHighSurrogate(codePoint) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (text[++i] - 0xDC00u);
        } else if (IsHighSurrogate(codePoint) || IsLowSurrogate(codePoint)) {
            codePoint = kReplacement; // unpaired
        }
        const int extra = codePoint < 0x80 ? 0 : codePoint < 0x800 ? 1 : codePoint < 0x10000 ? 2 : 3;
        static constexpr unsigned kLeadMarks[] = {0x00, 0xC0, 0xE0, 0xF0};
        put(kLeadMarks[extra] | codePoint >> (6 * extra));
        for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6) {
            put(0x80 | (codePoint >> shift & 0x3F));
        }
    }
    return result;
}

// Every other code page goes through iconv, to and from UTF-16LE (explicit byte order: no
// byte-order mark is written or expected).

static const char* const kUtf16 = "UTF-16LE";
static const iconv_t kInvalidIconv = reinterpret_cast<iconv_t>(-1);

// Owns one iconv descriptor.
class IconvHandle {
public:
    explicit IconvHandle(iconv_t cd) : m_cd(cd) {}
    IconvHandle(IconvHandle&& other) noexcept : m_cd(std::exchange(other.m_cd, kInvalidIconv)) {}
    IconvHandle& operator=(IconvHandle&& other) noexcept {
        std::swap(m_cd, other.m_cd);
        return *this;
    }
    ~IconvHandle() {
        if (IsOpen()) {
            iconv_close(m_cd);
        }
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;

    bool IsOpen() const { return m_cd != kInvalidIconv; }
    iconv_t Get() const { return m_cd; }

private:
    iconv_t m_cd;
};

// True when iconv can convert between `codePage` and UTF-16. glibc loads a code page's converter
// module on iconv_open and may unload it after the last iconv_close, which would load and unload
// it over and over, from several threads, under a loader lock that ThreadSanitizer cannot see. So
// one descriptor per code page stays open until exit and the module stays loaded.
// Names with iconv's "//" options would change what a failure means and count as unknown.
static bool KeepConverterLoaded(const std::string& codePage) {
    if (codePage.empty() || codePage.find('/') != std::string::npos) {
        return false;
    }
    static std::mutex mutex;
    static std::map<std::string, IconvHandle> loaded; // known code pages only
    std::lock_guard lock(mutex);
    if (loaded.contains(codePage)) {
        return true;
    }
    IconvHandle probe(iconv_open(kUtf16, codePage.c_str()));
    if (!probe.IsOpen()) {
        return false;
    }
    loaded.emplace(codePage, std::move(probe));
    return true;
}

// The calling thread's descriptor between UTF-16LE and `codePage`, reset to its initial state, or
// kInvalidIconv when iconv does not know the code page. An iconv_t holds shift state, so none is
// shared between threads; keeping a few per thread spares an iconv_open per text.
static iconv_t ThreadConverter(const std::string& codePage, bool toNarrow) {
    struct Cached {
        std::string codePage;
        bool toNarrow;
        IconvHandle handle;
    };
    static constexpr std::size_t kMaxCached = 4;
    thread_local std::vector<Cached> cache;

    for (const Cached& cached : cache) {
        if (cached.toNarrow == toNarrow && cached.codePage == codePage) {
            iconv(cached.handle.Get(), nullptr, nullptr, nullptr, nullptr);
            return cached.handle.Get();
        }
    }
    if (!KeepConverterLoaded(codePage)) {
        return kInvalidIconv;
    }
    IconvHandle handle(toNarrow ? iconv_open(codePage.c_str(), kUtf16) : iconv_open(kUtf16, codePage.c_str()));
    if (!handle.IsOpen()) {
        return kInvalidIconv;
    }
    if (cache.size() == kMaxCached) {
        cache.erase(cache.begin());
    }
    cache.push_back(Cached{codePage, toNarrow, std::move(handle)});
    return cache.back().handle.Get();
}

// Runs iconv until the input is used up or it stops at a sequence it cannot take, appending the
// output. With null in/inLeft it writes the sequence that returns to the initial shift state.
// Returns 0, or the errno of the stop.
static int Convert(iconv_t cd, char** in, std::size_t* inLeft, std::string& out) {
    char chunk[1024];
    for (;;) {
        char* dst = chunk;
        std::size_t dstLeft = sizeof chunk;
        const std::size_t rc = iconv(cd, in, inLeft, &dst, &dstLeft);
        const int error = rc == static_cast<std::size_t>(-1) ? errno : 0;
        out.append(chunk, static_cast<std::size_t>(dst - chunk));
        if (error != E2BIG) {
            return error;
        }
    }
}

static std::u16string DecodeWithIconv(std::string_view text, iconv_t cd) {
    std::string bytes; // UTF-16LE
    bytes.reserve(text.size() * 2);
    char* in = const_cast<char*>(text.data()); // iconv's signature; it only reads
    std::size_t inLeft = text.size();
    while (inLeft > 0) {
        const int error = Convert(cd, &in, &inLeft, bytes);
        if (error == 0) {
            break;
        }
        if ((error != EILSEQ && error != EINVAL) || inLeft == 0) {
            break; // nothing else is expected; stop rather than loop
        }
        // An invalid or truncated sequence: one replacement character per byte, then go on.
        bytes.append("\xFD\xFF", 2);
        ++in;
        --inLeft;
    }
    std::u16string result;
    result.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        result.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                               static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return result;
}

static std::string EncodeWithIconv(std::u16string_view text, iconv_t cd) {
    // As UTF-16LE bytes, with every unpaired surrogate made U+FFFD, so that iconv stopping can only
    // mean a character the target lacks.
    std::string units;
    units.reserve(text.size() * 2);
    const auto put = [&units](char16_t unit) {
        units.push_back(static_cast<char>(unit & 0xFF));
        units.push_back(static_cast<char>(unit >> 8));
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            put(text[i]);
            put(text[++i]);
        } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
            put(kReplacement);
        } else {
            put(text[i]);
        }
    }

    std::string result;
    result.reserve(text.size() * 2);
    char* in = units.data();
    std::size_t inLeft = units.size();
    while (inLeft > 0) {
        const int error = Convert(cd, &in, &inLeft, result);
        if (error == 0) {
            break;
        }
        if ((error != EILSEQ && error != EINVAL) || inLeft < 2) {
            break;
        }
        // A character the target lacks becomes one blank, written through the converter so that a
        // stateful target gets the right shift sequence.
        const auto unit =
            static_cast<char16_t>(static_cast<unsigned char>(in[0]) | static_cast<unsigned char>(in[1]) << 8);
        const std::size_t skip = IsHighSurrogate(unit) && inLeft >= 4 ? 4 : 2;
        in += skip;
        inLeft -= skip;
        char blank[2] = {' ', '\0'};
        char* blankIn = blank;
        std::size_t blankLeft = sizeof blank;
        Convert(cd, &blankIn, &blankLeft, result);
    }
    Convert(cd, nullptr, nullptr, result);
    return result;
}

// A code page that is UTF-8 or that iconv does not know is converted as UTF-8: the text still
// converts, and ASCII comes out right either way.

std::u16string AnsiToUtf16(std::string_view text, const std::string& codePage) {
    text = UpToZero(text);
    if (text.empty()) {
        return {};
    }
    if (!IsUtf8Name(codePage)) {
        if (const iconv_t cd = ThreadConverter(codePage, false); cd != kInvalidIconv) {
            return DecodeWithIconv(text, cd);
        }
    }
    return Utf8ToUtf16(text);
}

std::string Utf16ToAnsi(std::u16string_view text, const std::string& codePage) {
    text = UpToZero(text);
    if (text.empty()) {
        return {};
    }
    if (!IsUtf8Name(codePage)) {
        if (const iconv_t cd = ThreadConverter(codePage, true); cd != kInvalidIconv) {
            return EncodeWithIconv(text, cd);
        }
    }
    return Utf16ToUtf8(text);
}

std::string AnsiToUtf8(std::string_view text, const std::string& codePage) {
    return Utf16ToUtf8(AnsiToUtf16(text, codePage));
}

std::string Utf8ToAnsi(const char* text, const std::string& codePage) {
    if (text == nullptr) {
        return {};
    }
    return Utf16ToAnsi(Utf8ToUtf16(text), codePage);
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
