#include "CatalogueFile.h"

#include "SoundNumber.h"

#include <libxml/encoding.h>
#include <libxml/entities.h>
#include <libxml/hash.h>
#include <libxml/parser.h>
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

// The file a save replaces: the path itself, or the end of its chain of symbolic links, so that
// the link stays a link. Empty for a chain that loops or cannot be read.
std::string SaveTarget(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return path;
        }
        std::string link(4096, '\0');
        const ssize_t length = readlink(path.c_str(), link.data(), link.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= link.size()) {
            return {};
        }
        link.resize(static_cast<std::size_t>(length));
        path = link.front() == '/' ? link : path.substr(0, path.rfind('/') + 1) + link;
    }
    return {};
}

mode_t NewFileMode() {
    // What fopen would have given the file. The umask is read, not set and reset: the hook's
    // threads run meanwhile.
    mode_t mask = 022;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        unsigned value = 0;
        while (std::fgets(line, sizeof line, status)) {
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value);
                break;
            }
        }
        std::fclose(status);
    }
    return 0666 & ~mask;
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
struct FileSource {
    static constexpr int kChunk = 250; // libxml2's INPUT_CHUNK
    int fd;
};

int ReadChunk(void* context, char* buffer, int length) {
    const int fd = static_cast<FileSource*>(context)->fd;
    for (;;) {
        const ssize_t n = read(fd, buffer, static_cast<std::size_t>(std::min(length, FileSource::kChunk)));
        if (n >= 0 || errno != EINTR) {
            return n < 0 ? -1 : static_cast<int>(n);
        }
    }
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

bool WriteAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// What the plain call does to an existing file: truncate it and write it through.
bool WriteInPlace(const std::string& target, const std::string& bytes) {
    const int fd = open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    bool written = WriteAll(fd, bytes) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    return written;
}

void SyncFolder(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// The parser keeps references to the document's own entities inside attribute values, and xmlGetProp
// expands them on every read: a file of a few kilobytes can declare one large entity and refer to it
// many times, and the reads would then build gigabytes. The expanded sizes are counted beforehand:
// a document with one value that would expand past the parser's own limit for a literal value, or
// with values that would expand together past the largest file that is read at all, is refused like
// a file that is not well-formed.
class EntityExpansion {
public:
    static constexpr std::size_t kValueLimit = kMaxCatalogueValueBytes;
    static constexpr std::uint64_t kTotalLimit = kMaxCatalogueFileBytes;

    explicit EntityExpansion(xmlDocPtr doc) : m_doc(doc) {}

    // False once this value, or all counted so far, expand past their limit.
    bool Count(xmlNodePtr value) {
        const std::size_t length = Length(value, 0);
        m_total += length;
        return length <= kValueLimit && m_total <= kTotalLimit;
    }

private:
    // What xmlNodeListGetString(doc, list, 1) would give, in bytes, saturated past the value limit.
    std::size_t Length(xmlNodePtr list, int depth) {
        if (depth > 64) {
            return kValueLimit + 1;
        }
        std::size_t length = 0;
        for (xmlNodePtr node = list; node != nullptr && length <= kValueLimit; node = node->next) {
            if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
                length += static_cast<std::size_t>(xmlStrlen(node->content));
            } else if (node->type == XML_ENTITY_REF_NODE) {
                xmlEntityPtr entity = xmlGetDocEntity(m_doc, node->name);
                if (entity == nullptr) {
                    length += static_cast<std::size_t>(xmlStrlen(node->content));
                    continue;
                }
                const auto known = m_lengths.find(entity);
                length += known != m_lengths.end() ? known->second
                                                   : (m_lengths[entity] = Length(entity->children, depth + 1));
            }
        }
        return std::min(length, kValueLimit + 1);
    }

    xmlDocPtr m_doc;
    std::unordered_map<xmlEntityPtr, std::size_t> m_lengths;
    std::uint64_t m_total = 0;
};

bool ExpandsTooFar(xmlDocPtr doc) {
    const xmlDtdPtr dtd = doc->intSubset;
    if (dtd == nullptr || dtd->entities == nullptr || xmlHashSize(static_cast<xmlHashTablePtr>(dtd->entities)) <= 0) {
        return false; // without declared entities every value is plain text
    }
    EntityExpansion expansion(doc);
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
    const std::string target = SaveTarget(path);
    if (target.empty()) {
        return false;
    }
    struct stat existing {};
    const bool exists = stat(target.c_str(), &existing) == 0;
    if (exists) {
        if (!S_ISREG(existing.st_mode)) {
            return false; // a folder, a device or a pipe is never replaced
        }
        // The plain call's own test: may this user open the file for writing? (Not truncated here.)
        const int probe = open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (probe < 0) {
            return false;
        }
        close(probe);
    }

    std::string temporary = target + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0 && errno == ENAMETOOLONG) {
        const std::size_t slash = target.rfind('/');
        temporary = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + ".mute-XXXXXX";
        fd = mkstemp(temporary.data());
    }
    if (fd < 0) {
        // No new file can be made beside it (a folder the user may not write): the plain call
        // would still write an existing file in place.
        if (exists && WriteInPlace(target, bytes)) {
            result = CatalogueSaveError::None;
            return true;
        }
        return false;
    }
    if (exists) {
        struct stat made {};
        const bool sameOwner =
            fstat(fd, &made) == 0 && made.st_uid == existing.st_uid && made.st_gid == existing.st_gid;
        if (existing.st_nlink > 1 || (!sameOwner && fchown(fd, existing.st_uid, existing.st_gid) != 0)) {
            // A replacement would take the file from its owner or group, or from its other links.
            close(fd);
            unlink(temporary.c_str());
            if (!WriteInPlace(target, bytes)) {
                return false;
            }
            result = CatalogueSaveError::None;
            return true;
        }
    }
    bool written = fchmod(fd, exists ? existing.st_mode & 07777 : NewFileMode()) == 0;
    written = written && WriteAll(fd, bytes) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    written = written && rename(temporary.c_str(), target.c_str()) == 0;
    if (!written) {
        unlink(temporary.c_str());
        return false;
    }
    SyncFolder(target);
    result = CatalogueSaveError::None;
    return true;
}

std::optional<CatalogueDocument> ParseCatalogueFile(const std::string& path) {
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
    // A parsed tree takes several times the file's size; a full catalogue file is a few megabytes.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) > kMaxCatalogueFileBytes) {
        return std::nullopt;
    }
    unsigned char head[6] = {};
    const ssize_t headLength = pread(fd, head, sizeof head, 0);
    if (headLength < 0 || LooksCompressed(head, static_cast<std::size_t>(headLength))) {
        return std::nullopt;
    }
    FileSource source{fd};
    // The options of xmlParseFile (none), and never the network.
    xmlDocPtr doc = xmlReadIO(ReadChunk, CloseNothing, &source, path.c_str(), nullptr, XML_PARSE_NONET);
    if (doc == nullptr) {
        return std::nullopt;
    }
    CatalogueDocument document(doc);
    if (ExpandsTooFar(doc)) {
        return std::nullopt;
    }
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
