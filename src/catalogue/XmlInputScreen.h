#pragma once

#include <cstddef>
#include <cstdint>

// Looks at an XML file's bytes on their way to the parser, and refuses what the parser would spend
// seconds or gigabytes on before it gets them. libxml2 2.9 checks an element's attributes for
// duplicates pair by pair (100,000 attributes: 16 s), and reads on for as long as a file grows.
//
// The bytes are taken as UTF-8, as the parser is told to take them whatever the file declares:
// markup is then plain ASCII, and no byte of a longer character can pass for a quote, '<', '=' or
// '>'. Every '<' that is not followed by '!', '?' or '/' starts a possible start tag, which ends at
// a '>' outside quotes (a '<' inside a value ends the parser's tag too). In one, every '=' outside
// quotes may be an attribute. A quoted run longer than the parser takes for one value is refused
// here, before the parser could give up in its middle and read the rest as attributes.
class XmlInputScreen {
public:
    struct Limits {
        std::uint64_t fileBytes;
        std::size_t valueBytes;                // one quoted run in a tag
        std::size_t attributesPerElement = 64; // a catalogue has 3
        std::size_t namespaceDeclarations;
        // Tags, comments and the like ('<'), attributes ('=' in a tag) and references to the
        // file's own entities: each becomes a node or more of the parsed tree, and an entry to read.
        std::size_t markupItems;
    };

    enum class Verdict {
        Accepted,
        TooLarge,          // more than fileBytes
        NotText,           // not UTF-8, or a character XML does not allow (the parser would refuse it too)
        TooManyAttributes, // or too many namespace declarations, or markup items
        ValueTooLong,
    };

    explicit XmlInputScreen(const Limits& limits) : m_limits(limits) {}

    // False once the bytes passed so far are refused; later bytes are not looked at.
    bool Pass(const char* data, std::size_t size);

    Verdict verdict() const { return m_verdict; }
    std::uint64_t bytes() const { return m_bytes; }

private:
    bool Refuse(Verdict verdict);
    bool Character(unsigned char byte);
    bool Markup(unsigned char byte);
    bool Reference(unsigned char byte);
    bool CountItem();

    Limits m_limits;
    Verdict m_verdict = Verdict::Accepted;
    std::uint64_t m_bytes = 0;
    // UTF-8: continuation bytes still due, the code point so far, the least it may be.
    int m_due = 0;
    std::uint32_t m_codePoint = 0;
    std::uint32_t m_least = 0;
    // Markup.
    bool m_afterLess = false;
    bool m_inTag = false;
    unsigned char m_quote = 0;
    std::size_t m_quoted = 0;
    std::size_t m_attributes = 0;
    std::size_t m_namespaces = 0;
    std::size_t m_xmlnsMatched = 0;
    std::size_t m_items = 0;
    // An entity reference being read: its name so far (up to five bytes), or not in one.
    bool m_inReference = false;
    char m_referenceName[6] = {};
    std::size_t m_referenceLength = 0;
};
