// Small non-cryptographic hashes for feature slots, mail digests and the names of delivered
// items. All are stored on disk (slots index the weight table, digests key the ledger, an LMTP
// retry finds its earlier try by name), so they must never change for an existing database
// format version, nor while mail may still be queued for a retry.
#ifndef CORVALITH_PLATFORM_HASH_H_
#define CORVALITH_PLATFORM_HASH_H_

#include <cstdint>
#include <string_view>

namespace corvalith {

// 64-bit FNV-1a with a final avalanche, so that the top bits (which pick the slot) depend on
// every input byte; plain FNV-1a leaves the high bits weak for short keys.
inline uint64_t Mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

inline uint64_t HashBytes(std::string_view data, uint64_t seed = 0xcbf29ce484222325ULL) {
  uint64_t h = seed;
  for (unsigned char c : data) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return Mix64(h);
}

// Chains a second piece onto a hash, as if hashing a separator and then `data`.
inline uint64_t HashCombine(uint64_t h, std::string_view data) {
  return HashBytes(data, (h ^ 0x9e3779b97f4a7c15ULL) * 0x100000001b3ULL);
}

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_HASH_H_
