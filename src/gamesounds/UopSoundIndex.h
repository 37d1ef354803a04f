#pragma once

#include "ByteSource.h"
#include "SoundIndex.h"

// soundLegacyMUL.uop, a Mythic package: a header ("MYP\0", the first block's offset), then a chain
// of blocks of 34-byte entries keyed by the hash of the entry's name. Sound id i is the entry
// named UopSoundEntryName(i). The chain is followed until a next offset of 0; a chain that loops
// or leaves the file ends there (the entries read so far are kept). Of entries with the same
// hash the first counts. A file that is not a package yields no entries and a problem.
SoundIndex ReadUopSoundIndex(const ByteSource& package);
