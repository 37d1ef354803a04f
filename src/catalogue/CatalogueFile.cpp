#include "CatalogueXml.h"

#include "SafeFileWriter.h"
#include "SoundNumber.h"
#include "XmlInputScreen.h"

#include <libxml/SAX2.h>
#include <libxml/encoding.h>
#include <libxml/entities.h>
#include <libxml/hash.h>
#include <libxml/parser.h>
#include <libxml/valid.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlversion.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

const xmlChar* Xml(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

// libxml2 writes attribute values as they are, but XML 1.0 has no way to carry C0 controls other
// than tab, LF and CR, nor U+FFFE/U+FFFF: a comment holding one would produce a file that no
// parser (ours included) accepts. Such a character is saved as one blank instead.
std::string XmlSafe(std::string text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') {
            text[i] = ' ';
        } else if (byte == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
                   (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
            text.replace(i, 3, " ");
        }
    }
    return text;
}

// An absent attribute gives an empty text.
std::string AttributeText(xmlNodePtr node, const char* name, CodePageConverter& toAnsi) {
    const std::unique_ptr<xmlChar, void (*)(xmlChar*)> value(xmlGetProp(node, Xml(name)),
                                                             [](xmlChar* p) { xmlFree(p); });
    return value ? toAnsi(reinterpret_cast<const char*>(value.get())) : std::string();
}

SoundEntry ReadEntry(xmlNodePtr node, CodePageConverter& toAnsi) {
    const std::int32_t number = ParseSoundNumber(AttributeText(node, "no", toAnsi));
    std::string comment = AttributeText(node, "comment", toAnsi);
    std::string mute = AttributeText(node, "mute", toAnsi);
    for (char& c : mute) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return SoundEntry{static_cast<std::uint16_t>(number), mute == "yes", std::move(comment)};
}

// Calls read(node) for every node that holds an entry, in document order.
template <class Read> void WalkCatalogueNodes(xmlNodePtr first, Read&& read) {
    // Where to go on once a child list is done, innermost last.
    std::vector<xmlNodePtr> resume;
    xmlNodePtr node = first;
    while (node != nullptr || !resume.empty()) {
        if (node == nullptr) {
            node = resume.back();
            resume.pop_back();
        } else if (xmlChildElementCount(node) != 0) {
            if (node->next != nullptr) {
                resume.push_back(node->next);
            }
            node = node->children;
        } else {
            if (xmlStrcmp(node->name, Xml("text")) != 0) {
                read(node);
            }
            node = node->next;
        }
    }
}

// A catalogue is plain XML: a compressed file is not one (the library's own file reader would
// unpack gzip and xz unasked, and a few kilobytes could unfold into a tree of gigabytes).
bool LooksCompressed(const unsigned char* head, std::size_t n) {
    const bool gzip = n >= 2 && head[0] == 0x1F && head[1] == 0x8B;
    const bool xz = n >= 6 && head[0] == 0xFD && head[1] == '7' && head[2] == 'z' && head[3] == 'X' && head[4] == 'Z' &&
                    head[5] == 0x00;
    const bool lzma = n >= 3 && head[0] == 0x5D && head[1] == 0x00 && head[2] == 0x00;
    return gzip || xz || lzma;
}

// Hands the parser the file a little at a time. Fed in large reads, libxml2 stops discarding what it
// has parsed, and a run of long elements (a dozen comments of a megabyte) then trips its 10 MB
// lookahead limit ("Huge input lookup"); in reads of its own chunk size it discards as it goes, so
// only one element longer than kMaxCatalogueLineBytes is refused, wherever it stands.
//
// Every byte passes the screen first, and no more than the file limit is read, however long the
// file grows meanwhile. A refusal, here or by the declaration hooks below, ends the input at once.
struct FileSource {
    static constexpr int kChunk = 250; // libxml2's INPUT_CHUNK
    int fd;
    XmlInputScreen screen;
    CatalogueLoadError refusal = CatalogueLoadError::None;
    std::size_t attributeDeclarations = 0;

    void Refuse(CatalogueLoadError why) {
        if (refusal == CatalogueLoadError::None) {
            refusal = why;
        }
    }
};

int ReadChunk(void* context, char* buffer, int length) {
    FileSource& source = *static_cast<FileSource*>(context);
    if (source.refusal != CatalogueLoadError::None) {
        return -1;
    }
    for (;;) {
        const ssize_t n = read(source.fd, buffer, static_cast<std::size_t>(std::min(length, FileSource::kChunk)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            source.Refuse(CatalogueLoadError::CannotRead);
            return -1;
        }
        if (!source.screen.Pass(buffer, static_cast<std::size_t>(n))) {
            source.Refuse(source.screen.verdict() == XmlInputScreen::Verdict::TooLarge
                              ? CatalogueLoadError::TooLarge
                              : CatalogueLoadError::Unsupported);
            return -1;
        }
        return static_cast<int>(n);
    }
}

// The parse under way on this thread, for the declaration hooks.
thread_local FileSource* parsing = nullptr;

// A save writes no declarations. An entity whose text holds markup or references is how a few
// bytes become elements the screen never saw, or values that nest expansion in expansion: refused,
// with its own declaration. Entities of plain text are kept (and their expansion bounded below).
void ScreenEntityDeclaration(void* context, const xmlChar* name, int type, const xmlChar* publicId,
                             const xmlChar* systemId, xmlChar* content) {
    if (content != nullptr && (xmlStrchr(content, '<') != nullptr || xmlStrchr(content, '&') != nullptr)) {
        parsing->Refuse(CatalogueLoadError::Unsupported);
        return;
    }
    xmlSAX2EntityDecl(context, name, type, publicId, systemId, content);
}

// Each declared default is checked against every attribute of each element: bounded as attributes are.
void ScreenAttributeDeclaration(void* context, const xmlChar* element, const xmlChar* name, int type, int def,
                                const xmlChar* defaultValue, xmlEnumerationPtr tree) {
    if (++parsing->attributeDeclarations > kMaxCatalogueAttributes) {
        parsing->Refuse(CatalogueLoadError::Unsupported);
        xmlFreeEnumeration(tree);
        return;
    }
    xmlSAX2AttributeDecl(context, element, name, type, def, defaultValue, tree);
}

int CloseNothing(void*) {
    return 0;
}

int AppendToString(void* context, const char* buffer, int length) {
    static_cast<std::string*>(context)->append(buffer, static_cast<std::size_t>(length));
    return length;
}

// Exactly what xmlSaveFormatFileEnc(…, "UTF-8", 1) writes.
bool Serialise(xmlDocPtr doc, std::string& bytes) {
    xmlOutputBufferPtr buffer =
        xmlOutputBufferCreateIO(AppendToString, nullptr, &bytes, xmlFindCharEncodingHandler("UTF-8"));
    return buffer != nullptr && xmlSaveFormatFileTo(buffer, doc, "UTF-8", 1) >= 0;
}

std::size_t LongestLine(const std::string& bytes) {
    std::size_t longest = 0;
    for (std::size_t start = 0; start < bytes.size();) {
        const std::size_t end = std::min(bytes.find('\n', start), bytes.size());
        longest = std::max(longest, end - start);
        start = end + 1;
    }
    return longest;
}

// The parser keeps references to the document's own entities inside attribute values, and xmlGetProp
// expands them on every read: a file of a few kilobytes can declare one large entity and refer to it
// many times, and the reads would then build gigabytes. The expanded sizes are counted beforehand:
// a document with one value that would expand past the parser's own limit for a literal value, or
// with values that would expand together past what is left of the file limit, is refused. So is one
// whose reading would cost too much: xmlGetProp joins a value's pieces one by one, each time going
// over all it has joined so far (12 values of 1,650 references to 6 KB: 5 s).
class EntityExpansion {
public:
    static constexpr std::size_t kValueLimit = kMaxCatalogueValueBytes;
    // Bytes gone over to join the pieces of all values; a value of 10 references to 1 MB each costs 50 MB.
    static constexpr std::uint64_t kJoinLimit = 256ull << 20;

    EntityExpansion(xmlDocPtr doc, std::uint64_t budget) : m_doc(doc), m_budget(budget) {}

    // False once this value, or all counted so far, expand or cost past their limit.
    bool Count(xmlNodePtr value) {
        std::uint64_t pieces = 0;
        const std::size_t length = Length(value, 0, pieces);
        m_total += length;
        m_join += pieces * length;
        return length <= kValueLimit && m_total <= m_budget && m_join <= kJoinLimit;
    }

private:
    // What xmlNodeListGetString(doc, list, 1) would give, in bytes, saturated past the value limit.
    std::size_t Length(xmlNodePtr list, int depth, std::uint64_t& pieces) {
        if (depth > 64) {
            return kValueLimit + 1;
        }
        std::size_t length = 0;
        for (xmlNodePtr node = list; node != nullptr && length <= kValueLimit; node = node->next) {
            ++pieces;
            if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
                length += static_cast<std::size_t>(xmlStrlen(node->content));
            } else if (node->type == XML_ENTITY_REF_NODE) {
                xmlEntityPtr entity = xmlGetDocEntity(m_doc, node->name);
                if (entity == nullptr) {
                    length += static_cast<std::size_t>(xmlStrlen(node->content));
                    continue;
                }
                const auto known = m_lengths.find(entity);
                if (known != m_lengths.end()) {
                    length += known->second.first;
                    pieces += known->second.second;
                    continue;
                }
                std::uint64_t inner = 0;
                const std::size_t expanded = Length(entity->children, depth + 1, inner);
                m_lengths[entity] = {expanded, inner};
                length += expanded;
                pieces += inner;
            }
        }
        return std::min(length, kValueLimit + 1);
    }

    xmlDocPtr m_doc;
    std::uint64_t m_budget;
    std::unordered_map<xmlEntityPtr, std::pair<std::size_t, std::uint64_t>> m_lengths;
    std::uint64_t m_total = 0;
    std::uint64_t m_join = 0;
};

bool ExpandsTooFar(xmlDocPtr doc, std::uint64_t budget) {
    const xmlDtdPtr dtd = doc->intSubset;
    if (dtd == nullptr || dtd->entities == nullptr || xmlHashSize(static_cast<xmlHashTablePtr>(dtd->entities)) <= 0) {
        return false; // without declared entities every value is plain text
    }
    EntityExpansion expansion(doc, budget);
    std::vector<xmlNodePtr> pending{doc->children};
    while (!pending.empty()) {
        xmlNodePtr node = pending.back();
        pending.pop_back();
        for (; node != nullptr; node = node->next) {
            if (node->type != XML_ELEMENT_NODE) {
                continue;
            }
            for (xmlAttrPtr attribute = node->properties; attribute != nullptr; attribute = attribute->next) {
                const xmlNodePtr value = attribute->children;
                const bool plain = value == nullptr || (value->next == nullptr && value->type == XML_TEXT_NODE);
                if (!plain && !expansion.Count(value)) {
                    return true;
                }
            }
            if (node->children != nullptr) {
                pending.push_back(node->children);
            }
        }
    }
    return false;
}

} // namespace

CatalogueDocument::~CatalogueDocument() {
    if (m_doc != nullptr) {
        xmlFreeDoc(m_doc);
        xmlCleanupParser();
    }
}

CatalogueDocument& CatalogueDocument::operator=(CatalogueDocument&& other) noexcept {
    if (this != &other) {
        CatalogueDocument released(std::exchange(m_doc, std::exchange(other.m_doc, nullptr)));
    }
    return *this;
}

xmlNodePtr AppendElement(xmlNodePtr parent, const char* name, const char* text,
                         std::initializer_list<std::pair<const char*, const char*>> attributes) {
    xmlNodePtr element = xmlNewNode(nullptr, Xml(name));
    if (element == nullptr) {
        return nullptr;
    }
    if (text != nullptr && *text != '\0') {
        xmlAddChild(element, xmlNewText(Xml(text)));
    }
    for (const auto& [attribute, value] : attributes) {
        if (attribute == nullptr || value == nullptr) {
            break;
        }
        xmlNewProp(element, Xml(attribute), Xml(value));
    }
    xmlAddChild(parent, element);
    return element;
}

CatalogueDocument BuildCatalogueDocument(const SoundCatalogue& catalogue, bool sortByNumber,
                                         const std::string& codePage) {
    LIBXML_TEST_VERSION
    CatalogueDocument document(xmlNewDoc(Xml("1.0")));
    if (document.get() == nullptr) {
        return document;
    }
    xmlNodePtr root = xmlNewNode(nullptr, Xml("mute"));
    xmlDocSetRootElement(document.get(), root);

    CodePageConverter toUtf8(codePage, "UTF-8");
    const std::string yes = toUtf8("yes");
    const std::string no = toUtf8("no");
    const auto append = [&](const SoundEntry& entry) {
        const std::string number = "0x" + FormatSoundNumber(entry.number);
        const std::string comment = XmlSafe(toUtf8(entry.comment));
        AppendElement(
            root, "sound", "",
            {{"no", number.c_str()}, {"mute", (entry.mute ? yes : no).c_str()}, {"comment", comment.c_str()}});
    };
    const SoundCatalogue::Walk walk = catalogue.BeginWalk();
    if (sortByNumber) {
        walk.InNumberOrder(append);
    } else {
        walk.InDisplayOrder(append);
    }
    return document;
}

bool WriteCatalogueDocument(const CatalogueDocument& document, const std::string& path, CatalogueSaveError* error,
                            const CatalogueFileLimits& limits) {
    CatalogueSaveError ignored = CatalogueSaveError::None;
    CatalogueSaveError& result = error != nullptr ? *error : ignored;
    result = CatalogueSaveError::CannotWrite;
    std::string bytes;
    if (document.get() == nullptr || path.empty() || !Serialise(document.get(), bytes)) {
        return false;
    }
    // Every element stands on a line of its own (line breaks in values are written as references).
    if (LongestLine(bytes) > limits.lineBytes) {
        result = CatalogueSaveError::EntryTooLong;
        return false;
    }
    if (bytes.size() > limits.fileBytes) {
        result = CatalogueSaveError::FileTooLarge;
        return false;
    }
    switch (SafeFileWriter(path).Write(bytes)) {
    case SafeWriteError::None:
        result = CatalogueSaveError::None;
        return true;
    case SafeWriteError::UntrustedLink:
        result = CatalogueSaveError::UntrustedLink;
        return false;
    case SafeWriteError::CannotWrite:
        break;
    }
    return false;
}

std::optional<CatalogueDocument> ParseCatalogueFile(const std::string& path, CatalogueLoadError* error,
                                                    const CatalogueFileLimits& limits) {
    CatalogueLoadError ignored = CatalogueLoadError::None;
    CatalogueLoadError& result = error != nullptr ? *error : ignored;
    result = CatalogueLoadError::CannotRead;
    // The file is opened here and only its bytes reach the library: it would otherwise fetch a path
    // that reads as a URL, or open another file named by the path with its %-escapes decoded when
    // the path itself does not exist. Only a regular file is read (a pipe would block for ever).
    if (path.empty()) {
        return std::nullopt;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    // Known too large before a byte is read (the screen counts what is read, should it grow meanwhile).
    if (static_cast<std::uint64_t>(st.st_size) > limits.fileBytes) {
        result = CatalogueLoadError::TooLarge;
        return std::nullopt;
    }
    unsigned char head[6] = {};
    const ssize_t headLength = pread(fd, head, sizeof head, 0);
    if (headLength < 0 || LooksCompressed(head, static_cast<std::size_t>(headLength))) {
        return std::nullopt;
    }
    // A byte order mark is the parser's to skip only when it guesses the encoding; here it is told.
    const bool mark = headLength >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF;
    if (mark && lseek(fd, 3, SEEK_SET) != 3) {
        return std::nullopt;
    }
    FileSource source{fd, XmlInputScreen({limits.fileBytes, kMaxCatalogueValueBytes, kMaxCatalogueAttributes,
                                          kMaxCatalogueNamespaces, kMaxCatalogueMarkup})};
    const std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> context(xmlNewParserCtxt(), xmlFreeParserCtxt);
    if (!context || context->sax == nullptr) {
        return std::nullopt;
    }
    context->sax->entityDecl = ScreenEntityDeclaration;
    context->sax->attributeDecl = ScreenAttributeDeclaration;
    parsing = &source;
    // The options of xmlParseFile (none), never the network, and UTF-8 whatever the file declares:
    // the screen reads the bytes as the parser does.
    xmlDocPtr doc = xmlCtxtReadIO(context.get(), ReadChunk, CloseNothing, &source, path.c_str(), "UTF-8",
                                  XML_PARSE_NONET | XML_PARSE_IGNORE_ENC);
    parsing = nullptr;
    CatalogueDocument document(doc);
    if (source.refusal != CatalogueLoadError::None) {
        result = source.refusal;
        return std::nullopt;
    }
    if (doc == nullptr) {
        result = CatalogueLoadError::NotWellFormed;
        return std::nullopt;
    }
    if (ExpandsTooFar(doc, limits.fileBytes - std::min(limits.fileBytes, source.screen.bytes()))) {
        result = CatalogueLoadError::TooLarge;
        return std::nullopt;
    }
    result = CatalogueLoadError::None;
    return document;
}

bool ApplyCatalogueDocument(const CatalogueDocument& document, SoundCatalogue& catalogue, SoundListView* view,
                            const std::string& codePage) {
    xmlNodePtr root = document.get() == nullptr ? nullptr : xmlDocGetRootElement(document.get());
    if (root == nullptr || root->children == nullptr) {
        return false;
    }
    catalogue.Replace(ReadCatalogueNodes(root, codePage), view);
    return true;
}

std::vector<SoundEntry> ReadCatalogueNodes(xmlNodePtr first, const std::string& codePage) {
    std::vector<SoundEntry> entries;
    CodePageConverter toAnsi("UTF-8", codePage);
    WalkCatalogueNodes(first, [&](xmlNodePtr node) { entries.push_back(ReadEntry(node, toAnsi)); });
    return entries;
}

void ReadCatalogueNodes(xmlNodePtr first, SoundCatalogue::Edit& edit, const std::string& codePage) {
    CodePageConverter toAnsi("UTF-8", codePage);
    WalkCatalogueNodes(first, [&](xmlNodePtr node) {
        const SoundEntry entry = ReadEntry(node, toAnsi);
        edit.AddOrUpdate(entry.number, entry.comment, entry.mute, false);
    });
}
