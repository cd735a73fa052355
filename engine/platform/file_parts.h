// A file made of parts: files read in order as one, for an archive split into
// volumes. Each call on such a handle becomes the same calls on the parts,
// each put to the I/O hook as on any file. Internal to the platform seam:
// env.cc hands a handle with parts here.
//
// Cutting the file deletes the parts wholly past the cut, the last first, and
// makes each removal durable before the part below it is cut: so at every
// instant the parts on disk are the set's first ones, all whole but the last,
// and the offsets of what remains never move.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/env.h"

namespace ablative {

struct FilePart {
  std::wstring path;
  FileHandle handle;
  uint64_t start = 0;
  uint64_t size = 0;  // when opened, or cut
};

struct FileParts {
  std::vector<FilePart> parts;  // those still on disk, in order
  std::wstring folder;          // where they all lie
};

namespace parts {

bool transfer(FileParts& file, bool write, uint64_t position, void* buffer, uint32_t length, uint32_t& moved);
bool size(FileParts& file, uint64_t& total);
bool cut(FileParts& file, uint64_t end);
bool zeroRange(FileParts& file, uint64_t first, uint64_t end);
bool findHoles(FileParts& file, uint64_t first, uint64_t end, std::vector<ByteRange>& holes);
bool markSparse(FileParts& file);
bool flush(FileParts& file);
bool lock(FileParts& file, bool exclusive);
bool openAgain(FileParts& file, FileHandle& again);
bool linkCount(FileParts& file, uint32_t& links);

}  // namespace parts
}  // namespace ablative
