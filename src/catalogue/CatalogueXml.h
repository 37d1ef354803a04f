#pragma once

// The catalogue file's libxml2 side, for what builds or walks a document node by node (the file's
// own code, tests, benchmarks). The dialog includes CatalogueFile.h only.

#include "CatalogueFile.h"

#include <libxml/tree.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// New element `name` with `text` as content when not empty, and the attributes in order up to the
// first pair with a missing (null) name or value; appended as the parent's last child.
xmlNodePtr AppendElement(xmlNodePtr parent, const char* name, const char* text,
                         std::initializer_list<std::pair<const char*, const char*>> attributes);

// Reads an entry from every node of a sibling list that has no element children, descending into
// those that have; nodes named "text" are skipped. Iterative: deep nesting cannot exhaust the stack.
// The entries are in document order; their numbers are the low 16 bits of what was read, 0x0000
// and 0xFFFF included (AddOrUpdate drops those).
std::vector<SoundEntry> ReadCatalogueNodes(xmlNodePtr first, const std::string& codePage);
// The same, each entry stored through `edit` (keepPosition false) as it is read.
void ReadCatalogueNodes(xmlNodePtr first, SoundCatalogue::Edit& edit, const std::string& codePage);
