// Tar archives (".tar"): ustar, pax and GNU headers read into plain member
// records, with the checks that come before anything is written. Paths are
// not judged here: callers run them through path_safety.h like any other
// stored path.
//
// Headers are read block by block in archive order by TarHeaderParser, and
// a tar's bytes front to back by TarStream, which holds the rules for where
// it ends: the same rules serve a tar read from a file (readTarMembers) and
// one decoded from a compressed stream.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ablative.h"
#include "files/text_arena.h"
#include "platform/env.h"

namespace ablative {

inline constexpr uint32_t kTarBlockSize = 512;

// The most of a member's data one unit takes, whether the tar is read as it
// is or decoded from gzip: as large as a .zvka archive's default block, so
// units weigh the same in a group.
inline constexpr uint64_t kTarPieceBytes = kDefaultBlockSize;

// Special: a device, FIFO or socket, which extraction skips with a log line.
enum class TarMemberKind : uint8_t { File, Folder, SymbolicLink, HardLink, Special };

// A range of a sparse member's file that holds data; the rest reads as zeros.
struct TarDataRange {
  uint64_t fileOffset = 0;
  uint64_t length = 0;
};

// Links, devices, FIFOs and folders hold no data, whatever their size
// fields say, as GNU tar extracts them (a GNU dumpdir holds its listing).
struct TarMember {
  // UTF-8 as stored: a pax path, else a GNU long name, else the ustar prefix
  // and name joined by "/"; a folder's trailing "/" dropped.
  std::string path;
  std::string linkTarget;  // symbolic and hard links: a pax linkpath, a GNU long link name, else the header's
  TarMemberKind kind = TarMemberKind::File;
  char typeFlag = '0';        // as stored, for the log line of a skipped member
  uint64_t headerOffset = 0;  // of its first header, extended headers included
  uint64_t dataOffset = 0;    // of its stored data (past a pax 1.0 sparse map)
  uint64_t storedSize = 0;    // bytes of data stored from dataOffset, padding not counted
  uint64_t size = 0;          // the file's length: a sparse member's real size, else storedSize
  // Where a sparse member's stored bytes go, in order, apart, none empty,
  // adding up to storedSize; a sparse file that is all holes has one empty
  // range at its end. Empty for every other member.
  std::vector<TarDataRange> ranges;
  uint32_t mode = 0;       // permission bits (07777)
  int64_t modifiedNs = 0;  // nanoseconds since 1970 UTC (pax mtime keeps its fraction)
};

// The block after a member's data, where the next header starts.
uint64_t tarNextHeader(const TarMember& member);

// How messages name a member: its path, or, where no header names one,
// "at byte " + the offset of its first header.
std::wstring tarMemberName(const TarMember& member);

enum class TarStep {
  NextBlock,  // feed the block that follows
  Member,     // member() is whole: feed the block at tarNextHeader(member())
  // The end of the archive: a second zero block, or a block after a lone
  // zero block (GNU tar stops there too: that block is data after the end).
  End,
  Failed,  // failed() says why
};

// Reads headers fed one 512-byte block at a time. Extended headers (pax `x`
// and `g`, GNU `L` and `K`, old GNU sparse extensions, a pax 1.0 sparse map
// at the start of the data) are absorbed: only whole members come out.
// Memory is bounded whatever the input: an extended header larger than
// kTarLargestExtendedHeader is refused.
class TarHeaderParser {
 public:
  // Takes the block at `offset`, which must be the block the last step asked for.
  TarStep take(std::span<const uint8_t, kTarBlockSize> block, uint64_t offset);
  const TarMember& member() const { return member_; }
  // Why the last step failed.
  const Status& failed() const { return failed_; }
  // Whether a member has begun and is not whole yet (extended headers read,
  // or more of its header blocks due): an archive that ends here is cut short.
  bool insideHeader() const;

 private:
  enum class Expect { Header, ExtendedBody, SparseExtension, SparseMap };

  // What pax records (or GNU long names) say about the member(s) to come.
  struct Overrides {
    std::optional<std::string> path, linkTarget;
    std::optional<uint64_t> size;
    std::optional<int64_t> modifiedNs;
    // GNU sparse members stored as pax: format 0.0 and 0.1 list the ranges
    // here, 1.0 stores them at the start of the data.
    std::optional<uint64_t> sparseRealSize, sparseMajor;
    std::optional<std::string> sparseName;
    std::vector<TarDataRange> sparseRanges;
    bool sparseOffsetUnpaired = false;  // a 0.0 offset still waiting for its numbytes
    // Keys given an empty value: in a member's own header, the global value
    // of each does not apply to it (its header's field does).
    std::vector<std::string> cleared;
  };

  TarStep takeHeader(std::span<const uint8_t, kTarBlockSize> block, uint64_t offset);
  TarStep startMember(std::span<const uint8_t, kTarBlockSize> block, uint64_t offset);
  TarStep takeExtendedBody(std::span<const uint8_t, kTarBlockSize> block);
  TarStep takeSparseExtension(std::span<const uint8_t, kTarBlockSize> block);
  TarStep takeSparseMap(std::span<const uint8_t, kTarBlockSize> block);
  TarStep finishMember();
  TarStep fail(std::wstring message);
  TarStep failMember(const wchar_t* message);

  Status failed_;
  Expect expect_ = Expect::Header;
  uint64_t next_ = 0;         // the offset of the block due
  bool memberBegun_ = false;  // extended headers for the coming member were read
  bool zeroBlockSeen_ = false;
  Overrides global_, local_;
  std::optional<std::string> longName_, longLink_;
  // An extended header's body being gathered.
  char bodyType_ = 0;
  uint64_t bodyOffset_ = 0, bodyLeft_ = 0;
  std::string body_;
  // Old GNU sparse extension blocks, or a pax 1.0 sparse map being read.
  uint64_t sparseBlocks_ = 0;
  std::string mapText_;
  size_t mapParsed_ = 0;
  std::vector<uint64_t> mapNumbers_;
  TarMember member_;
};

inline constexpr uint64_t kTarLargestExtendedHeader = 1u << 20;

// Members as read, packed: their names in one arena and their
// sparse ranges in one vector, so that a tar of 300,000 members costs about
// 100 bytes a member besides its names, where TarMember records and their
// strings cost twice that. Members come back as TarMember values; the views
// serve the passes that look at every member.
class TarMembers {
 public:
  void push_back(const TarMember& member);
  TarMember operator[](size_t i) const;
  TarMember back() const { return (*this)[size() - 1]; }
  size_t size() const { return packed_.size(); }
  bool empty() const { return packed_.empty(); }
  // Frees every member's path and link target, which read as empty from then on.
  void dropNames();
  std::string_view pathOf(size_t i) const { return names_.view(packed_[i].names).substr(0, packed_[i].pathLength); }
  std::string_view linkTargetOf(size_t i) const { return names_.view(packed_[i].names).substr(packed_[i].pathLength); }
  TarMemberKind kindOf(size_t i) const { return packed_[i].kind; }

  class Iterator {
   public:
    Iterator(const TarMembers& members, size_t i) : members_(&members), i_(i) {}
    TarMember operator*() const { return (*members_)[i_]; }
    Iterator& operator++() { return ++i_, *this; }
    bool operator!=(const Iterator& other) const { return i_ != other.i_; }

   private:
    const TarMembers* members_;
    size_t i_;
  };
  Iterator begin() const { return {*this, 0}; }
  Iterator end() const { return {*this, size()}; }

 private:
  static constexpr uint32_t kNotSparse = UINT32_MAX;
  // 64 bytes: a path and its link target lie together in the arena.
  struct Packed {
    uint64_t headerOffset, dataOffset, storedSize, size;
    int64_t modifiedNs;
    ArenaText names;
    uint32_t pathLength;
    uint32_t sparse;  // its ranges' entry in sparse_, or kNotSparse
    uint16_t mode;
    TarMemberKind kind;
    char typeFlag;
  };
  static_assert(sizeof(Packed) == 64);
  struct Ranges {
    uint32_t first = 0, count = 0;
  };

  std::deque<Packed> packed_;  // a deque: a vector would briefly hold one and a half times them as it grows
  TextArena names_;
  std::vector<Ranges> sparse_;
  std::vector<TarDataRange> ranges_;
};

struct TarContents {
  TarMembers members;  // in archive order, every member kept (a later one of the same path too)
  uint64_t end = 0;    // where the members end: the end-of-archive blocks, or the file's end, start here
  uint64_t archiveSize = 0;
  // Where bytes other than zeros follow the end of the archive:
  // "Data after the end of the tar archive: at byte " + the first of them.
  std::wstring unaccounted;
  // Reading failed at the last member, whose data runs past the file's end:
  // cut short, perhaps by a consuming run whose journal is gone.
  bool endsInLastMember = false;
};

// A tar read front to back from its bytes, wherever they come from. The
// end of the archive is a second zero block, or a block after a lone zero
// block; from there on any byte but zero is data after the end, of which
// `unaccounted` names the first. Bytes that stop inside a header, or before
// the last member's data is whole, cut the tar short; bytes that stop between
// members (no end-of-archive blocks, or part of them) end a whole tar.
class TarStream {
 public:
  // Where set, a stream whose first block, whole or cut short, is no tar
  // header fails with it: a decoded stream need not hold a tar.
  std::wstring notATar;
  // Where set, each member's data (its padding not) as it is taken.
  std::function<void(uint64_t offset, const uint8_t* bytes, size_t length)> onData;

  // Takes the bytes from position() on; fails at the first fault
  // (TarHeaderParser's messages).
  Status take(std::span<const uint8_t> bytes);
  uint64_t position() const { return pos_; }
  // Where the next bytes that tell anything start: those before it are
  // member data and padding, which a reader that sets no onData may pass
  // over with skipTo instead of taking them.
  uint64_t wanted() const { return ended_ ? pos_ : std::max(pos_, next_); }
  void skipTo(uint64_t offset) { pos_ = offset; }
  bool ended() const { return ended_; }
  // Whether no byte from here on can tell anything more: the end read, and
  // the data after it named.
  bool settled() const { return ended_ && !contents.unaccounted.empty(); }
  // The bytes stop at position(): the tar's end is judged, failing with
  //   "Tar archive ends inside a header: at byte " + offset
  //   "Tar member runs past the end of the archive: " + tarMemberName (with
  //     endsInLastMember set)
  // or notATar.
  Status finish();

  // Filled as the bytes come; `end` and `endsInLastMember` by the end.
  TarContents contents;

 private:
  Status takeBlock();
  void takeAfterEnd(uint64_t offset, std::span<const uint8_t> bytes);

  TarHeaderParser parser_;
  uint64_t pos_ = 0;   // of the next byte
  uint64_t next_ = 0;  // the header block due
  bool ended_ = false;
  std::optional<uint64_t> zeroBlockAt_;  // the first of the end-of-archive blocks
  std::array<uint8_t, kTarBlockSize> block_{};
  size_t blockFill_ = 0;
  uint64_t dataFrom_ = 0, dataTo_ = 0;  // the last member's data
};

// Reads every member's headers of the tar open in `file`, seeking over the
// data, failing at the first fault with one of these (`name` is the member's
// path, or, where no header names one, "at byte " + its offset):
//   "Unable to open archive file" (its size unknown)
//   "Failed to seek archive block (code=" / "Failed to read archive block (code=" ...
//   "Tar header checksum mismatch: " + name
//   "Invalid tar header: " + name (a number that does not read, a negative or
//     absurd size, an unknown or malformed extended header)
//   "Invalid sparse map: " + name (ranges out of order, overlapping, past the
//     file's size, or not adding up to the stored size)
//   "Tar extended header too large: " + name
//   "Tar member runs past the end of the archive: " + name (with the member
//     kept, and endsInLastMember)
//   "Tar archive ends inside a header: at byte " + offset
// Its end is judged as TarStream judges one: a tar that ends without its
// end-of-archive blocks, where the last member is whole, is accepted; so is
// one followed by other data, which `unaccounted` names.
// A stop request (pause.h) fails it with "Stopped on request".
Status readTarMembers(FileHandle& file, const StopCallback& shouldStop, TarContents& contents);

// Whether `firstBytes` (at least one block) start with a tar header: its
// checksum holds, with a ustar magic or as an old (v7) header.
bool looksLikeTar(std::span<const uint8_t> firstBytes);

}  // namespace ablative
