#pragma once

#include "ByteSource.h"
#include "SoundIndex.h"

// soundidx.mul: 12-byte records (u32 offset, i32 length, u32 unused), record i for sound id i,
// no header; a tail shorter than a record is ignored. Offset 0xFFFFFFFF or a length <= 0 marks a
// sound without data. `dataSize`: the size of sound.mul, which every entry must fit inside.
SoundIndex ReadMulSoundIndex(const ByteSource& index, std::uint64_t dataSize);
