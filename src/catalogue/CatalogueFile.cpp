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

std::string AttributeText(xmlNodePtr node, const char* name, const std::string& codePage) {
    const std::unique_ptr<xmlChar, void (*)(xmlChar*)> value(xmlGetProp(node, Xml(name)),
                                                             [](xmlChar* p) { xmlFree(p); });
    return Utf8ToAnsi(reinterpret_cast<const char*>(value.get()), codePage);
}

void ReadEntry(xmlNodePtr node, SoundCatalogue::Edit& edit, const std::string& codePage) {
    const std::int32_t number = ParseSoundNumber(AttributeText(node, "no", codePage));
    const std::string comment = AttributeText(node, "comment", codePage);
    std::string mute = AttributeText(node, "mute", codePage);
    for (char& c : mute) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    edit.AddOrUpdate(number, comment, mute == "yes", false);
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

// The library unpacks gzip and xz files by itself: a file of a few kilobytes could then unfold
// into a tree of gigabytes. A catalogue is plain XML.
bool LooksCompressed(const std::string& path) {
    unsigned char head[6] = {};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    const ssize_t n = read(fd, head, sizeof head);
    close(fd);
    const bool gzip = n >= 2 && head[0] == 0x1F && head[1] == 0x8B;
    const bool xz = n >= 6 && head[0] == 0xFD && head[1] == '7' && head[2] == 'z' && head[3] == 'X' && head[4] == 'Z' &&
                    head[5] == 0x00;
    const bool lzma = n >= 3 && head[0] == 0x5D && head[1] == 0x00 && head[2] == 0x00;
    return gzip || xz || lzma;
}

struct FdSink {
    int fd;
    bool failed = false;
};

// Writes everything or fails: libxml2's own fd writer takes a short write as done.
int WriteAll(void* context, const char* buffer, int length) {
    auto& sink = *static_cast<FdSink*>(context);
    for (int done = 0; done < length;) {
        const ssize_t n = write(sink.fd, buffer + done, static_cast<std::size_t>(length - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            sink.failed = true;
            return -1;
        }
        done += static_cast<int>(n);
    }
    return length;
}

// Exactly what xmlSaveFormatFileEnc(…, "UTF-8", 1) writes, sent to an open file.
bool SaveToFd(xmlDocPtr doc, int fd) {
    FdSink sink{fd};
    xmlOutputBufferPtr buffer = xmlOutputBufferCreateIO(WriteAll, nullptr, &sink, xmlFindCharEncodingHandler("UTF-8"));
    if (buffer == nullptr) {
        return false;
    }
    return xmlSaveFormatFileTo(buffer, doc, "UTF-8", 1) >= 0 && !sink.failed;
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
// many times, and the reads would then build gigabytes. The expanded size is counted beforehand, and
// a document whose attribute references expand past the parser's own limit for one literal
// attribute value is refused like a file that is not well-formed.
class EntityExpansion {
public:
    static constexpr std::size_t Limit = 10'000'000;

    explicit EntityExpansion(xmlDocPtr doc) : m_doc(doc) {}

    // False once everything counted so far expands past the limit.
    bool Count(xmlNodePtr values) {
        m_total = std::min(m_total + Length(values, 0), Limit + 1);
        return m_total <= Limit;
    }

private:
    // What xmlNodeListGetString(doc, list, 1) would give, in bytes, saturated past the limit.
    std::size_t Length(xmlNodePtr list, int depth) {
        if (depth > 64) {
            return Limit + 1;
        }
        std::size_t length = 0;
        for (xmlNodePtr node = list; node != nullptr && length <= Limit; node = node->next) {
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
        return std::min(length, Limit + 1);
    }

    xmlDocPtr m_doc;
    std::unordered_map<xmlEntityPtr, std::size_t> m_lengths;
    std::size_t m_total = 0;
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

    const std::string yes = AnsiToUtf8("yes", codePage);
    const std::string no = AnsiToUtf8("no", codePage);
    const auto append = [&](const SoundEntry& entry) {
        const std::string number = "0x" + FormatSoundNumber(entry.number);
        const std::string comment = XmlSafe(AnsiToUtf8(entry.comment, codePage));
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

bool WriteCatalogueDocument(const CatalogueDocument& document, const std::string& path) {
    if (document.get() == nullptr || path.empty()) {
        return false;
    }
    const std::string target = SaveTarget(path);
    if (target.empty()) {
        return false;
    }
    struct stat existing {};
    const bool exists = stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        return false; // a folder, a device or a pipe is never replaced
    }

    std::string temporary = target + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0 && errno == ENAMETOOLONG) {
        const std::size_t slash = target.rfind('/');
        temporary = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + ".mute-XXXXXX";
        fd = mkstemp(temporary.data());
    }
    if (fd < 0) {
        return false;
    }
    if (exists) {
        // Only root can give the file away; anyone else keeps it as their own.
        [[maybe_unused]] const int ignored = fchown(fd, existing.st_uid, existing.st_gid);
    }
    bool written = fchmod(fd, exists ? existing.st_mode & 07777 : NewFileMode()) == 0;
    written = written && SaveToFd(document.get(), fd) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    written = written && rename(temporary.c_str(), target.c_str()) == 0;
    if (!written) {
        unlink(temporary.c_str());
        return false;
    }
    SyncFolder(target);
    return true;
}

std::optional<CatalogueDocument> ParseCatalogueFile(const std::string& path) {
    // Only a regular local file is parsed: a pipe would block the parse forever, and the library
    // would otherwise fetch a path that reads as a URL, or open another file named by the path
    // with its %-escapes decoded when the path itself does not exist.
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    // A parsed tree takes tens of times the file's size; a full catalogue file is a few megabytes.
    if (static_cast<std::uint64_t>(st.st_size) > kMaxCatalogueFileBytes || LooksCompressed(path)) {
        return std::nullopt;
    }
    const std::string local = path.front() == '/' ? path : "./" + path;
    xmlDocPtr doc = xmlParseFile(local.c_str());
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
    SoundCatalogue::Edit edit = catalogue.BeginEdit();
    edit.Clear(view);
    ReadCatalogueNodes(root, edit, codePage);
    return true;
}

void ReadCatalogueNodes(xmlNodePtr first, SoundCatalogue::Edit& edit, const std::string& codePage) {
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
                ReadEntry(node, edit, codePage);
            }
            node = node->next;
        }
    }
}
