// How an engine step ends: ok, or failed with one fixed English message and
// the kind of failure, which is what callers act on. The message is for
// people and is never compared: a caller that must tell failures apart reads
// the kind. Includes nothing of the engine, so that every layer may use it.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace ablative {

enum class StatusKind : uint8_t {
  Ok,
  Failed,                // nothing the caller can do but show the message
  InUse,                 // another run holds the archive
  Stopped,               // on request, between two effects
  ArchiveChanged,        // the archive is not the file its journal was written for
  DamagedBlock,          // a block the archive no longer holds as written: resuming would stop there again
  BlockGone,             // the same, and the destination lacks that block too
  DestinationLacksData,  // not the destination where the extraction started
  FilesDamaged,          // a salvage ended with files it could not fully extract
  EndedEarly,            // a read found the file shorter than asked, with no message: its caller names the failure
};

struct Status {
  StatusKind kind = StatusKind::Ok;
  std::wstring message;  // empty when ok

  bool ok() const { return kind == StatusKind::Ok; }
};

inline Status failure(StatusKind kind, std::wstring message) { return Status{kind, std::move(message)}; }

// Runs a step (a public entry's, a worker's unit): memory the machine lacks,
// or a size no memory holds, ends it with a failure that says so, its objects
// undone as on any other failure, rather than ending the process.
template <typename Step>
Status withinMemory(Step&& step) {
  try {
    return step();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return failure(StatusKind::Failed, L"Not enough memory to go on");
}

}  // namespace ablative
