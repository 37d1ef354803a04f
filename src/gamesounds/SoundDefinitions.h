#pragma once

#include "SoundIndex.h"

#include <cstddef>
#include <string_view>
#include <vector>

// Sound.def: lines "ID {ALT, ALT...} N" give a sound id without data the data of another id. An id
// that has data of its own is never replaced. Of several alternatives the last one with data wins;
// lines apply in order, so a later line sees what earlier ones gave. Numbers are decimal only (a
// line whose id is not is skipped, an alternative that is not is ignored), and ids outside the
// index are ignored. Text from '#' on is a comment. Returns how many ids were given data.
std::size_t ApplySoundDefinitions(std::string_view text, std::vector<SoundLocation>& entries);
