// A compressed file read once from start to end in chunks, as the framings'
// passes take it: the bytes not yet taken stay available,
// however many chunks they span, so that a reader may look ahead.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/env.h"
#include "status.h"

namespace ablative {

class ChunkedInput {
 public:
  ChunkedInput(FileHandle& file, uint64_t size) : file_(file), size_(size) {}

  // The file offset of data()'s first byte.
  uint64_t offset() const { return read_ - available(); }
  // Makes at least `length` bytes available, fewer only where the file ends
  // first (then EndedEarly); fails with a read's message, or "Unable to read
  // archive file" where the file shrank.
  Status ensure(size_t length);
  const uint8_t* data() const { return bytes_.data() + at_; }
  size_t available() const { return bytes_.size() - at_; }
  void advance(size_t length) { at_ += length; }

 private:
  FileHandle& file_;
  const uint64_t size_;
  uint64_t read_ = 0;  // bytes read from the file
  std::vector<uint8_t> bytes_, chunk_;
  size_t at_ = 0;
};

// After a stream's end, as gzip and bzip2 files take it: `another` where a
// byte `magic` (a stream's first) comes next, else zeros to the end, which
// some writers leave as padding, or other bytes, which `unaccounted` names:
// `dataAfterEnd` + the first one's offset.
Status whatFollowsStream(ChunkedInput& input, uint8_t magic, const wchar_t* dataAfterEnd, std::wstring& unaccounted,
                         bool& another);

}  // namespace ablative
