#pragma once

#include "CodePage.h"
#include "SoundCatalogue.h"

#include <libxml/tree.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

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

// xmlSaveFormatFileEnc(…, "UTF-8", 1), but into a new file beside `path` that replaces it only once
// the whole document is on disk, so a failed save never harms the file that was there.
// False when the file could not be written.
bool WriteCatalogueDocument(const CatalogueDocument& document, const std::string& path);

// Files larger than this are not read: refused like a file that is not well-formed.
inline constexpr std::uint64_t kMaxCatalogueFileBytes = 128ull << 20;

// xmlParseFile: none when the file is missing, unreadable or not well-formed. Also none for what
// is not a regular local file, for a compressed file (the library would unpack it unasked), for a
// file over kMaxCatalogueFileBytes, and for one whose entity references would expand past the
// library's limit for a single value.
std::optional<CatalogueDocument> ParseCatalogueFile(const std::string& path);

// When the root has at least one child node of any kind: clears the catalogue (the view's rows
// too), reads every entry, and returns true (the caller then rebuilds the list). Otherwise leaves
// the catalogue unchanged and returns false. The catalogue's lock is held across the whole
// clear-and-refill.
bool ApplyCatalogueDocument(const CatalogueDocument& document, SoundCatalogue& catalogue, SoundListView* view,
                            const std::string& codePage = SystemCodePage());

// Reads an entry from every node of a sibling list that has no element children, descending into
// those that have; nodes named "text" are skipped. Iterative: deep nesting cannot exhaust the stack.
void ReadCatalogueNodes(xmlNodePtr first, SoundCatalogue::Edit& edit, const std::string& codePage);
