#include "codecs/xxhash64.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "codecs/coding.h"

namespace ablative {

namespace {

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull, kPrime2 = 0xC2B2AE3D27D4EB4Full, kPrime3 = 0x165667B19E3779F9ull,
                   kPrime4 = 0x85EBCA77C2B2AE63ull, kPrime5 = 0x27D4EB2F165667C5ull;

uint64_t round(uint64_t lane, uint64_t input) { return std::rotl(lane + input * kPrime2, 31) * kPrime1; }

uint64_t merge(uint64_t hash, uint64_t lane) { return (hash ^ round(0, lane)) * kPrime1 + kPrime4; }

void stripe(uint64_t (&lanes)[4], const uint8_t* data) {
  for (int i = 0; i < 4; ++i) lanes[i] = round(lanes[i], loadLe64(data + 8 * i));
}

}  // namespace

Xxh64::Xxh64() : lanes_{kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1} {}

void Xxh64::update(const uint8_t* data, size_t length) {
  total_ += length;
  if (pendingLength_ > 0) {
    const size_t taken = std::min(length, sizeof pending_ - pendingLength_);
    std::memcpy(pending_ + pendingLength_, data, taken);
    pendingLength_ += taken, data += taken, length -= taken;
    if (pendingLength_ < sizeof pending_) return;
    stripe(lanes_, pending_);
    pendingLength_ = 0;
  }
  for (; length >= sizeof pending_; data += sizeof pending_, length -= sizeof pending_) stripe(lanes_, data);
  std::memcpy(pending_, data, length);
  pendingLength_ = length;
}

uint64_t Xxh64::digest() const {
  uint64_t hash = kPrime5;
  if (total_ >= sizeof pending_) {
    hash = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) + std::rotl(lanes_[3], 18);
    for (const uint64_t lane : lanes_) hash = merge(hash, lane);
  }
  hash += total_;
  const uint8_t* at = pending_;
  const uint8_t* end = pending_ + pendingLength_;
  for (; end - at >= 8; at += 8) hash = std::rotl(hash ^ round(0, loadLe64(at)), 27) * kPrime1 + kPrime4;
  if (end - at >= 4) hash = std::rotl(hash ^ uint64_t{loadLe32(at)} * kPrime1, 23) * kPrime2 + kPrime3, at += 4;
  for (; at < end; ++at) hash = std::rotl(hash ^ *at * kPrime5, 11) * kPrime1;
  hash = (hash ^ hash >> 33) * kPrime2;
  hash = (hash ^ hash >> 29) * kPrime3;
  return hash ^ hash >> 32;
}

}  // namespace ablative
