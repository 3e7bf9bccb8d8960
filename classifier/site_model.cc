#include "classifier/site_model.h"

#include <array>
#include <cstring>
#include <limits>

#include "platform/hash.h"

namespace corvalith {

namespace {

// Header words.
constexpr uint64_t kTrainedAt = JournaledFile::kHeaderWordsAt;  // ham, then spam
constexpr uint64_t kClockAt = kTrainedAt + 8;
constexpr uint64_t kCountedHamAt = kTrainedAt + 12;  // then the spam count

constexpr uint64_t kSlots = uint64_t{1} << SiteModel::kTableBits;
constexpr uint64_t kEntryBytes = 16;
constexpr uint64_t kLedgerAt = JournaledFile::DataOffset(SiteModel::kJournalCapacity);
constexpr uint64_t kLedgerEntries = uint64_t{SiteModel::kLedgerWays}
                                    << SiteModel::kLedgerBucketBits;
constexpr uint64_t kWeightsAt = kLedgerAt + kLedgerEntries * kEntryBytes;
constexpr uint64_t kCountsAt = kWeightsAt + kSlots * 4;
constexpr uint64_t kFileSize = kCountsAt + kSlots * 8;
static_assert(kFileSize <= 64 * 1024 * 1024, "the site model must stay within 64 MiB");

// An entry's third word: the registration's time on the ledger's clock, then three flags.
constexpr uint32_t kEntryUsed = 1;
constexpr uint32_t kEntrySpam = 2;
constexpr uint32_t kEntryCounted = 4;
constexpr int kStampShift = 3;
constexpr uint32_t kStampMask = std::numeric_limits<uint32_t>::max() >> kStampShift;

constexpr std::array<char, 8> kMagic = {'C', 'R', 'V', 'L', 'T', 'H', 'S', 'M'};

const FileFormat& SiteModelFormat() {
  static const FileFormat format{
      "site model",
      kMagic,
      2,
      {SiteModel::kTableBits, SiteModel::kLedgerBucketBits, SiteModel::kLedgerWays},
      SiteModel::kJournalCapacity,
      kFileSize};
  return format;
}

// Version 1: the same header words up to the clock, the stamp above two flags, no counts.
namespace v1 {
constexpr uint32_t kJournalCapacity = 8192 + 64;
constexpr uint64_t kLedgerAt = JournaledFile::DataOffset(kJournalCapacity);
constexpr uint64_t kWeightsAt = kLedgerAt + kLedgerEntries * kEntryBytes;
constexpr uint64_t kFileSize = kWeightsAt + kSlots * 4;
constexpr int kStampShift = 2;

const FileFormat& Format() {
  static const FileFormat format{
      "site model",
      kMagic,
      1,
      {SiteModel::kTableBits, SiteModel::kLedgerBucketBits, SiteModel::kLedgerWays},
      kJournalCapacity,
      kFileSize};
  return format;
}
}  // namespace v1

void UpgradeFromVersion1(const std::string& path) {
  JournaledFile::Upgrade(v1::Format(), SiteModelFormat(), path, [](const JournaledFile& old,
                                                                   uint8_t* image) {
    const uint8_t* from = old.data();
    auto put = [&](uint64_t at, uint32_t word) { std::memcpy(image + at, &word, 4); };
    put(kTrainedAt, old.Word(kTrainedAt));
    put(kTrainedAt + 4, old.Word(kTrainedAt + 4));
    // Stamps lose their top bit; ages, taken modulo the clock's range, stay the same.
    put(kClockAt, old.Word(kClockAt) & kStampMask);
    for (uint64_t i = 0; i < kLedgerEntries; ++i) {
      const uint64_t at = i * kEntryBytes;
      std::memcpy(image + kLedgerAt + at, from + v1::kLedgerAt + at, kEntryBytes);
      const uint32_t meta = old.Word(v1::kLedgerAt + at + 8);
      const uint32_t stamp = (meta >> v1::kStampShift) & kStampMask;
      put(kLedgerAt + at + 8, stamp << kStampShift | (meta & (kEntryUsed | kEntrySpam)));
    }
    std::memcpy(image + kWeightsAt, from + v1::kWeightsAt, kSlots * 4);
  });
}

uint64_t EntryAt(uint32_t index) { return kLedgerAt + uint64_t{index} * kEntryBytes; }

uint32_t Bucket(uint64_t key) {
  return static_cast<uint32_t>(key >> (64 - SiteModel::kLedgerBucketBits));
}

}  // namespace

uint64_t SiteModel::FileSize() { return kFileSize; }

std::unique_ptr<SiteModel> SiteModel::Open(const std::string& path, bool create) {
  std::unique_ptr<JournaledFile> file;
  try {
    file = JournaledFile::Open(SiteModelFormat(), path, create);
  } catch (const Failure& failure) {
    if (failure.number() != kEngineDatabaseOlderVersion) throw;
    UpgradeFromVersion1(path);
    file = JournaledFile::Open(SiteModelFormat(), path, create);
  }
  if (!file) return nullptr;
  return std::unique_ptr<SiteModel>(new SiteModel(std::move(file)));
}

uint64_t SiteModel::RegistrationKey(const std::string& user_key, uint64_t mail_digest) {
  size_t cut = user_key.rfind('/');
  if (cut != std::string::npos && cut > 0) cut = user_key.rfind('/', cut - 1);
  const std::string_view tail = cut == std::string::npos
                                    ? std::string_view(user_key)
                                    : std::string_view(user_key).substr(cut + 1);
  return Mix64(HashBytes(tail, 0x8c2a4b3e1f5d7a69ULL) ^ mail_digest);
}

const float* SiteModel::weights() const {
  return reinterpret_cast<const float*>(file_->data() + kWeightsAt);
}

uint32_t SiteModel::trained_mails(bool spam) const {
  return file_->Word(kTrainedAt + (spam ? 4 : 0));
}

const uint32_t* SiteModel::counts() const {
  return reinterpret_cast<const uint32_t*>(file_->data() + kCountsAt);
}

CountedMails SiteModel::counted_mails() const {
  return {file_->Word(kCountedHamAt), file_->Word(kCountedHamAt + 4)};
}

std::optional<SiteModel::Found> SiteModel::Find(uint64_t key) const {
  const uint32_t first = Bucket(key) * kLedgerWays;
  for (uint32_t index = first; index < first + kLedgerWays; ++index) {
    const uint64_t at = EntryAt(index);
    const uint32_t meta = file_->Word(at + 8);
    if (!(meta & kEntryUsed) || file_->Word(at) != static_cast<uint32_t>(key) ||
        file_->Word(at + 4) != static_cast<uint32_t>(key >> 32)) {
      continue;
    }
    Found found{index, {(meta & kEntrySpam) != 0, 0.0f, (meta & kEntryCounted) != 0}};
    const uint32_t gain_bits = file_->Word(at + 12);
    std::memcpy(&found.registration.gain, &gain_bits, 4);
    return found;
  }
  return std::nullopt;
}

void SiteModel::Update::SetWeight(uint32_t slot, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  update_.Put(kWeightsAt + uint64_t{slot % (1u << kTableBits)} * 4, bits);
}

void SiteModel::Update::CountTrained(bool spam) {
  const uint64_t at = kTrainedAt + (spam ? 4 : 0);
  const uint32_t count = site_->file_->Word(at);
  if (count < std::numeric_limits<uint32_t>::max()) update_.Put(at, count + 1);
}

void SiteModel::Update::SetSlotCounts(uint32_t slot, SlotCounts counts) {
  update_.PutPair(kCountsAt + uint64_t{slot % kSlots} * 8, counts.ham, counts.spam);
}

void SiteModel::Update::SetCountedMails(CountedMails mails) {
  update_.PutPair(kCountedHamAt, mails.ham, mails.spam);
}

void SiteModel::Update::Remember(uint64_t key, std::optional<uint32_t> index,
                                 const Registration& registration) {
  const JournaledFile& file = *site_->file_;
  const uint32_t now = file.Word(kClockAt) & kStampMask;
  if (!index) {
    // A free way, else the one registered longest ago (the clock wraps, ages do not).
    const uint32_t first = Bucket(key) * kLedgerWays;
    uint32_t oldest_age = 0;
    for (uint32_t i = first; i < first + kLedgerWays; ++i) {
      const uint32_t meta = file.Word(EntryAt(i) + 8);
      if (!(meta & kEntryUsed)) {
        index = i;
        break;
      }
      const uint32_t age = (now - (meta >> kStampShift)) & kStampMask;
      if (!index || age > oldest_age) {
        index = i;
        oldest_age = age;
      }
    }
  }
  const uint64_t at = EntryAt(*index);
  uint32_t gain_bits;
  std::memcpy(&gain_bits, &registration.gain, 4);
  update_.Put(at, static_cast<uint32_t>(key));
  update_.Put(at + 4, static_cast<uint32_t>(key >> 32));
  update_.Put(at + 8, now << kStampShift | kEntryUsed | (registration.spam ? kEntrySpam : 0) |
                          (registration.counted ? kEntryCounted : 0));
  update_.Put(at + 12, gain_bits);
  update_.Put(kClockAt, (now + 1) & kStampMask);
}

void SiteModel::Update::Erase(uint32_t index) {
  for (uint64_t word = 0; word < kEntryBytes; word += 4) update_.Put(EntryAt(index) + word, 0);
}

}  // namespace corvalith
