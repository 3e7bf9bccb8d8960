// Small non-cryptographic hashes for feature slots, mail digests, the checks of the engine's
// files and the names of delivered items. What they answer is stored on disk: slots index the
// weight tables, digests key the ledgers, checks guard the file headers and journals, and an
// LMTP retry name (lmtp/lmtp_session.cc) is the name of the delivered item, and so of its
// Maildir file, by which a retry finds its earlier try. So these functions and their seeds
// must never change: every engine file would be misread, and a message that Postfix retries
// across the upgrade would be stored twice. lmtp/lmtp_session_test.cc pins a retry name to its
// exact value.
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
