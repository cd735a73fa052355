// A power loss at a chosen flush, for the I/O hook: that flush and every later call fail, and rollBack() undoes what
// was not durable: data until its file (or file system) is flushed, names until their folder is (removals count at
// once). `keepMetadata` keeps zeroed ranges, cuts and names, as a journaling file system may, losing only writes.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "platform/env.h"
#include "test_util.h"

namespace testutil {

class PowerLoss {
 public:
  PowerLoss(int crashAt, bool keepMetadata) : crashAt_(crashAt), keepMetadata_(keepMetadata) {}
  uint32_t operator()(const ablative::IoCall& call);  // install with std::ref
  void rollBack();                                    // after the run, with the hook removed
  bool crashed() const { return crashed_; }

 private:
  struct Edit {
    uint64_t offset;
    Bytes before;
    uint64_t sizeBefore;
  };
  struct File {  // where it is now, and what is not yet durable
    fs::path path;
    std::vector<Edit> edits;
  };
  struct Name {  // created at `path`, or renamed from `path` to `target` (over `replaced`, if it was there)
    fs::path path, target;
    ablative::FileIdentity folder;
    std::optional<Bytes> replaced;
  };
  void recordEdit(const ablative::IoCall& call);
  void recordName(const ablative::IoCall& call);

  const int crashAt_;
  const bool keepMetadata_;
  int flushes_ = 0;
  bool crashed_ = false;
  std::map<const ablative::FileHandle*, fs::path> opened_;  // each handle's file as it was opened
  std::map<std::pair<uint64_t, uint64_t>, File> files_;     // by identity
  std::vector<Name> names_;
};

}  // namespace testutil
