#include "XmlInputScreen.h"

#include <string_view>

bool XmlInputScreen::Refuse(Verdict verdict) {
    m_verdict = verdict;
    return false;
}

// XML 1.0's Char production, in well-formed UTF-8.
bool XmlInputScreen::Character(unsigned char byte) {
    if (m_due == 0) {
        if (byte < 0x80) {
            return byte >= 0x20 || byte == '\t' || byte == '\n' || byte == '\r' || Refuse(Verdict::NotText);
        }
        if (byte >= 0xC2 && byte <= 0xDF) {
            m_due = 1;
            m_codePoint = byte & 0x1Fu;
            m_least = 0x80;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            m_due = 2;
            m_codePoint = byte & 0x0Fu;
            m_least = 0x800;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            m_due = 3;
            m_codePoint = byte & 0x07u;
            m_least = 0x10000;
        } else {
            return Refuse(Verdict::NotText);
        }
        return true;
    }
    if ((byte & 0xC0u) != 0x80u) {
        return Refuse(Verdict::NotText);
    }
    m_codePoint = (m_codePoint << 6) | (byte & 0x3Fu);
    if (--m_due == 0) {
        const std::uint32_t c = m_codePoint;
        if (c < m_least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) {
            return Refuse(Verdict::NotText);
        }
    }
    return true;
}

bool XmlInputScreen::CountItem() {
    return ++m_items <= m_limits.markupItems || Refuse(Verdict::TooManyAttributes);
}

// Character references and the five predefined entities become text; any other reference is a node.
bool XmlInputScreen::Reference(unsigned char byte) {
    if (!m_inReference) {
        if (byte == '&') {
            m_inReference = true;
            m_referenceLength = 0;
        }
        return true;
    }
    if (m_referenceLength == 0 && byte == '#') {
        m_inReference = false;
        return true;
    }
    const bool nameByte = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
    if (nameByte && m_referenceLength < 5) {
        m_referenceName[m_referenceLength++] = static_cast<char>(byte);
        return true;
    }
    m_inReference = false;
    if (byte == ';') {
        const std::string_view name(m_referenceName, m_referenceLength);
        if (name == "amp" || name == "lt" || name == "gt" || name == "quot" || name == "apos") {
            return true;
        }
    }
    return CountItem() && Reference(byte); // the byte may start the next one
}

bool XmlInputScreen::Markup(unsigned char byte) {
    if (m_afterLess) {
        m_afterLess = false;
        m_inTag = byte != '!' && byte != '?' && byte != '/';
        m_quote = 0;
        m_attributes = 0;
        m_xmlnsMatched = 0;
    }
    if (byte == '<') {
        m_afterLess = true;
        m_inTag = false;
        return CountItem();
    }
    if (!m_inTag) {
        return true;
    }
    if (m_quote != 0) {
        if (byte == m_quote) {
            m_quote = 0;
        } else if (++m_quoted > m_limits.valueBytes) {
            return Refuse(Verdict::ValueTooLong);
        }
        return true;
    }
    if (byte >= 0x80) {
        m_xmlnsMatched = 0; // part of a longer character, never of markup
        return true;
    }
    if (byte == '"' || byte == '\'') {
        m_quote = byte;
        m_quoted = 0;
        m_xmlnsMatched = 0;
        return true;
    }
    if (byte == '>') {
        m_inTag = false;
        return true;
    }
    if (byte == '=' && (++m_attributes > m_limits.attributesPerElement || !CountItem())) {
        return Refuse(Verdict::TooManyAttributes);
    }
    static constexpr char kXmlns[] = "xmlns";
    if (byte == static_cast<unsigned char>(kXmlns[m_xmlnsMatched])) {
        if (++m_xmlnsMatched == sizeof kXmlns - 1) {
            m_xmlnsMatched = 0;
            if (++m_namespaces > m_limits.namespaceDeclarations) {
                return Refuse(Verdict::TooManyAttributes);
            }
        }
    } else {
        m_xmlnsMatched = byte == 'x' ? 1 : 0;
    }
    return true;
}

bool XmlInputScreen::Pass(const char* data, std::size_t size) {
    if (m_verdict != Verdict::Accepted) {
        return false;
    }
    if (size > m_limits.fileBytes - m_bytes) {
        m_bytes = m_limits.fileBytes + 1;
        return Refuse(Verdict::TooLarge);
    }
    m_bytes += size;
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (!Character(byte) || !Markup(byte) || !Reference(byte)) {
            return false;
        }
    }
    return true;
}
