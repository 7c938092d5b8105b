#pragma once

#include <cstddef>
#include <cstdio>

#include <kqnet/core/weight_file_version.h>

// The weight file's outer layout: a version line "#KqWeightFileVersion n"
// and one section per object, each introduced by '#', the object's key and
// a class word, then the object's record. Lookups start from the beginning
// of the file each time, so the order of the sections is free; the records
// themselves are read by the objects (a weight file of the system is text),
// through the record readers of core/records.h.

namespace kq {

// The key of the version line.
inline constexpr char kWeightFileVersionKey[] = "KqWeightFileVersion";

// Of a header token reported in a message, only this much is kept, so that
// a hostile file cannot make a reader grow without end.
inline constexpr size_t kReportedTokenPrefix = 4096;

// The number after the first "#KqWeightFileVersion"; 100 when there is no
// such line or its number is unreadable (no digits, a '-' sign, or a value
// above 65535).
KqWeightFileVersion readWeightFileVersion(std::FILE* file);

// Positions file right after the class word of the first section whose key
// matches. Ends the process when no header carries the key, or when the
// first one that does carries another class word.
std::FILE* findWeightSection(std::FILE* file, const char* classWord, const char* key);

}  // namespace kq
