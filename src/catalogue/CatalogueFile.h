#pragma once

#include "CodePage.h"
#include "SoundCatalogue.h"

#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The catalogue's XML file: root "mute", one empty "sound" element per entry with the attributes
// "no" ("0x" + four hex digits), "mute" ("yes"/"no") and "comment" (UTF-8), in that order,
// written with libxml2's own indented output.
//
// The dialog's SaveCatalogueFile/LoadCatalogueFile drive these (reading its fields, suspending
// auto-add, showing the error messages); nothing here knows of the dialog.

// One libxml2 document, alive for one save or one load. Releasing it frees the document and
// cleans the library up (xmlFreeDoc, xmlCleanupParser). UI thread only.
class CatalogueDocument {
public:
    explicit CatalogueDocument(xmlDocPtr doc) : m_doc(doc) {}
    ~CatalogueDocument();
    CatalogueDocument(CatalogueDocument&& other) noexcept : m_doc(std::exchange(other.m_doc, nullptr)) {}
    CatalogueDocument& operator=(CatalogueDocument&& other) noexcept;
    CatalogueDocument(const CatalogueDocument&) = delete;
    CatalogueDocument& operator=(const CatalogueDocument&) = delete;

    xmlDocPtr get() const { return m_doc; }

private:
    xmlDocPtr m_doc = nullptr;
};

// New element `name` with `text` as content when not empty, and the attributes in order up to the
// first pair with a missing (null) name or value; appended as the parent's last child.
xmlNodePtr AppendElement(xmlNodePtr parent, const char* name, const char* text,
                         std::initializer_list<std::pair<const char*, const char*>> attributes);

// Runs the library's version check, then builds the document from the catalogue: in number order
// when sortByNumber, else in display order. The catalogue's lock is held across the whole walk.
CatalogueDocument BuildCatalogueDocument(const SoundCatalogue& catalogue, bool sortByNumber,
                                         const std::string& codePage = SystemCodePage());

// Files larger than this are not read: refused like a file that is not well-formed.
inline constexpr std::uint64_t kMaxCatalogueFileBytes = 128ull << 20;
// The parser refuses an attribute value longer than this (its limit for one literal value, in
// UTF-8 bytes, entity references expanded), and so does the reader.
inline constexpr std::size_t kMaxCatalogueValueBytes = 10'000'000;
// The parser refuses one element whose tag is longer than about 10 MB (its lookahead limit); a
// file's line holds one entry's element. Kept a little below, so that it holds wherever the line is.
inline constexpr std::size_t kMaxCatalogueLineBytes = 9'990'000;

// Why WriteCatalogueDocument wrote nothing.
enum class CatalogueSaveError {
    None,
    CannotWrite,  // the file or its folder cannot be written, as the plain library call would find
    EntryTooLong, // an entry's line past kMaxCatalogueLineBytes: the file could not be loaded again
    FileTooLarge, // the file would be past kMaxCatalogueFileBytes: it could not be loaded again
};

// What a save checks before it writes (tests give smaller ones).
struct CatalogueFileLimits {
    std::size_t lineBytes = kMaxCatalogueLineBytes;
    std::uint64_t fileBytes = kMaxCatalogueFileBytes;
};

// Writes what xmlSaveFormatFileEnc(…, "UTF-8", 1) writes. The document is serialised first and
// nothing is written when the file could not be loaded again. A file that does not exist yet, or
// that can be replaced with its owner and group kept, gets a new file beside it that replaces it
// only once the whole document is on disk, so a failed save never harms it. Any other existing
// file (the user may write it but it is not theirs to replace: someone else's, a group they are
// not in, more than one link) is rewritten in place, as the plain call does. A file the user may
// not write is left as it is and the save fails, as the plain call does. False when nothing was
// written; `error` then says why.
bool WriteCatalogueDocument(const CatalogueDocument& document, const std::string& path,
                            CatalogueSaveError* error = nullptr, const CatalogueFileLimits& limits = {});

// The file parsed as xmlParseFile parses it: none when the file is missing, unreadable or not
// well-formed, or holds an element past kMaxCatalogueLineBytes. Also none for what
// is not a regular local file, for a compressed file (the library would unpack it unasked), for a
// file over kMaxCatalogueFileBytes, and for one whose entity references would expand one value
// past kMaxCatalogueValueBytes or all of them together past kMaxCatalogueFileBytes.
std::optional<CatalogueDocument> ParseCatalogueFile(const std::string& path);

// When the root has at least one child node of any kind: reads every entry into plain values
// first, then replaces the catalogue with them (the view's rows are deleted), and returns true (the
// caller then rebuilds the list). Otherwise leaves the catalogue unchanged and returns false. The
// catalogue's lock is held only to swap the old contents for the new: the hook side never sees
// half a load, and its lookups wait no longer than that.
bool ApplyCatalogueDocument(const CatalogueDocument& document, SoundCatalogue& catalogue, SoundListView* view,
                            const std::string& codePage = SystemCodePage());

// Reads an entry from every node of a sibling list that has no element children, descending into
// those that have; nodes named "text" are skipped. Iterative: deep nesting cannot exhaust the stack.
// The entries are in document order; their numbers are the low 16 bits of what was read, 0x0000
// and 0xFFFF included (AddOrUpdate drops those).
std::vector<SoundEntry> ReadCatalogueNodes(xmlNodePtr first, const std::string& codePage);
// The same, each entry stored through `edit` (keepPosition false) as it is read.
void ReadCatalogueNodes(xmlNodePtr first, SoundCatalogue::Edit& edit, const std::string& codePage);
