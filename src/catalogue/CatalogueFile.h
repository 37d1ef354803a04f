#pragma once

#include "CodePage.h"
#include "SoundCatalogue.h"

#include <cstddef>
#include <cstdint>
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

// libxml2's document, held here as an opaque pointer: only CatalogueXml.h opens it.
struct _xmlDoc;

// One libxml2 document, alive for one save or one load. Releasing it frees the document and
// cleans the library up (xmlFreeDoc, xmlCleanupParser). UI thread only.
class CatalogueDocument {
public:
    explicit CatalogueDocument(_xmlDoc* doc) : m_doc(doc) {}
    ~CatalogueDocument();
    CatalogueDocument(CatalogueDocument&& other) noexcept : m_doc(std::exchange(other.m_doc, nullptr)) {}
    CatalogueDocument& operator=(CatalogueDocument&& other) noexcept;
    CatalogueDocument(const CatalogueDocument&) = delete;
    CatalogueDocument& operator=(const CatalogueDocument&) = delete;

    _xmlDoc* get() const { return m_doc; }

private:
    _xmlDoc* m_doc = nullptr;
};

// Runs the library's version check, then builds the document from the catalogue: in number order
// when sortByNumber, else in display order. The catalogue's lock is held across the whole walk.
CatalogueDocument BuildCatalogueDocument(const SoundCatalogue& catalogue, bool sortByNumber,
                                         const std::string& codePage = SystemCodePage());

// Files larger than this are neither read nor written: a load of one this large takes about a
// second on a busy two-core machine, a few hundred MB, and a full catalogue with a line of text
// for every sound is a few MB. Also the most that entity references in values may expand to,
// together with the file's own bytes.
inline constexpr std::uint64_t kMaxCatalogueFileBytes = 32ull << 20;
// The parser refuses an attribute value longer than this (its limit for one literal value, in
// UTF-8 bytes, entity references expanded), and so does the reader.
inline constexpr std::size_t kMaxCatalogueValueBytes = 10'000'000;
// The parser refuses one element whose tag is longer than about 10 MB (its lookahead limit); a
// file's line holds one entry's element. Kept a little below, so that it holds wherever the line is.
inline constexpr std::size_t kMaxCatalogueLineBytes = 9'990'000;
// A file with an element of more attributes than this, or with more attribute declarations, is
// not read: libxml2 2.9 checks them pair by pair. A save writes three per element and none declared.
inline constexpr std::size_t kMaxCatalogueAttributes = 64;
// Namespace declarations (a save writes none): the parser looks each name up through all in scope.
inline constexpr std::size_t kMaxCatalogueNamespaces = 16;
// Markup items: tags, comments and the like, attributes, references to the file's own entities.
// Each becomes a node or more, and an element an entry to read: 8 million empty elements in
// 32 MiB took 8 s and 1.3 GB. A full catalogue has 262,139 (one tag and three attributes an entry).
inline constexpr std::size_t kMaxCatalogueMarkup = 524'288;

// Why WriteCatalogueDocument wrote nothing.
enum class CatalogueSaveError {
    None,
    CannotWrite,   // the file or its folder cannot be written, as the plain library call would find
    EntryTooLong,  // an entry's line past kMaxCatalogueLineBytes: the file could not be loaded again
    FileTooLarge,  // the file would be past kMaxCatalogueFileBytes: it could not be loaded again
    UntrustedLink, // the path goes through another user's link in a shared folder (SafeFileWriter)
};

// What a save checks before it writes and a load as it reads (tests give smaller ones).
struct CatalogueFileLimits {
    std::size_t lineBytes = kMaxCatalogueLineBytes;
    std::uint64_t fileBytes = kMaxCatalogueFileBytes;
};

// Writes what xmlSaveFormatFileEnc(…, "UTF-8", 1) writes, through SafeFileWriter: a failed save
// leaves the old file byte for byte as it was, and never writes through a link another user planted
// in a shared folder. The document is serialised first and nothing is written when the file could
// not be loaded again. A file the user may not write is left as it is and the save fails, as the
// plain call does. False when nothing was written; `error` then says why.
bool WriteCatalogueDocument(const CatalogueDocument& document, const std::string& path,
                            CatalogueSaveError* error = nullptr, const CatalogueFileLimits& limits = {});

// Why ParseCatalogueFile gave no document.
enum class CatalogueLoadError {
    None,
    CannotRead,    // missing, unreadable, not a regular file, compressed
    NotWellFormed, // as xmlParseFile finds it, or an element past kMaxCatalogueLineBytes
    TooLarge,      // past kMaxCatalogueFileBytes, read or (entity references) expanded; also read as it grew
    Unsupported,   // what no save writes and the parser would take seconds over: see below
};

// The file parsed as xmlParseFile parses it: none when the file is missing, unreadable or not
// well-formed, or holds an element past kMaxCatalogueLineBytes. Also none for what is not a
// regular local file, for a compressed file (the library would unpack it unasked), for a file
// over limits.fileBytes (counted as it is read, so a file that grows meanwhile is refused too),
// and for one whose entity references would expand one value past kMaxCatalogueValueBytes, or all
// of them with the file past limits.fileBytes, or cost too much to join. The bytes are refused
// before the parser takes them when they are not UTF-8 (a save writes UTF-8; the declared
// encoding is not followed), or an element has more than kMaxCatalogueAttributes attributes, or
// the file more than kMaxCatalogueNamespaces namespace declarations or kMaxCatalogueMarkup markup
// items; and so are entity
// declarations whose text holds markup or references, and more than kMaxCatalogueAttributes
// attribute declarations. Every file is read or refused within about a second or two.
std::optional<CatalogueDocument> ParseCatalogueFile(const std::string& path, CatalogueLoadError* error = nullptr,
                                                    const CatalogueFileLimits& limits = {});

// When the root has at least one child node of any kind: reads every entry into plain values
// first, then replaces the catalogue with them (the view's rows are deleted), and returns true (the
// caller then rebuilds the list). Otherwise leaves the catalogue unchanged and returns false. The
// catalogue's lock is held only to swap the old contents for the new: the hook side never sees
// half a load, and its lookups wait no longer than that.
bool ApplyCatalogueDocument(const CatalogueDocument& document, SoundCatalogue& catalogue, SoundListView* view,
                            const std::string& codePage = SystemCodePage());
