// The site model: the weights that all users of a data directory (or of one mail domain)
// train together, so that a new user's first mails are judged by what everybody taught, not
// by an empty database. A kind of journaled_file.h, with its locking, crash-safe updates and
// refusal of foreign or damaged files.
//
// Layout after the common header page and journal (little-endian, 4-byte words):
//   header words  mails trained as ham, as spam (saturating); the ledger's clock; the ham and
//                 spam mails the feature counts were taken from
//   ledger        2^kLedgerBucketBits buckets of kLedgerWays registrations: which user's mail
//                 (a 64-bit key), its class, whether it is in the feature counts, the gain it
//                 applied, and when it came; a full bucket gives up its oldest registration,
//                 whose training and counts stay
//   weights       2^kTableBits floats (the linear model, model.h)
//   counts        2^kTableBits pairs of ham and spam counts (the counting model,
//                 counting_model.h)
// The size is fixed (about 56 MiB) whatever the number of users. Version 1 files, without
// counts, are upgraded in place on first open; the counts start from the next registration.
//
// A SiteModel object is for one thread at a time.
#ifndef CORVALITH_CLASSIFIER_SITE_MODEL_H_
#define CORVALITH_CLASSIFIER_SITE_MODEL_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "classifier/counting_model.h"
#include "classifier/journaled_file.h"
#include "classifier/user_database.h"

namespace corvalith {

class SiteModel {
 public:
  static constexpr int kTableBits = 22;
  static constexpr int kLedgerBucketBits = 16;
  static constexpr uint32_t kLedgerWays = 8;
  // Room for a relearn of the largest mail: its weights and both counts of every slot.
  static constexpr uint32_t kJournalCapacity = 3 * 8192 + 64;

  // The registration of one user's mail.
  struct Registration {
    bool spam = false;
    float gain = 0;
    bool counted = false;  // whether the mail is in the feature counts
  };

  // Opens the site model at `path`. When the file does not exist: creates it if `create`,
  // else returns nullptr. An intact file of the previous version is upgraded first. Throws
  // Failure when the file cannot be opened, created or upgraded or is not an intact site
  // model; the file is then left untouched.
  static std::unique_ptr<SiteModel> Open(const std::string& path, bool create);

  // The ledger key of a user's mail: the user's key by its last two parts (the domain folder
  // and the file), so that moving the data directory keeps the registrations, and the digest.
  static uint64_t RegistrationKey(const std::string& user_key, uint64_t mail_digest);

  SiteModel(const SiteModel&) = delete;
  SiteModel& operator=(const SiteModel&) = delete;

  // Holds the file lock for a scope; see JournaledFile::Lock.
  class Lock {
   public:
    Lock(SiteModel* site, bool exclusive) : lock_(site->file_.get(), exclusive) {}

   private:
    JournaledFile::Lock lock_;
  };

  // Reads; REQUIRES: a Lock is held.
  const float* weights() const;
  uint32_t trained_mails(bool spam) const;
  // The feature counts: slot s has its ham count at [2s] and its spam count at [2s + 1].
  const uint32_t* counts() const;
  CountedMails counted_mails() const;
  struct Found {
    uint32_t index;
    Registration registration;
  };
  std::optional<Found> Find(uint64_t key) const;

  // An update, applied all or nothing by Commit. REQUIRES: an exclusive Lock is held.
  class Update {
   public:
    explicit Update(SiteModel* site) : site_(site), update_(site->file_.get()) {}
    void SetWeight(uint32_t slot, float value);
    void CountTrained(bool spam);
    void SetSlotCounts(uint32_t slot, SlotCounts counts);
    void SetCountedMails(CountedMails mails);
    // Stores the registration under `key`: in place of the one found at `index`, else in a
    // free way of the key's bucket or in place of the bucket's oldest.
    void Remember(uint64_t key, std::optional<uint32_t> index, const Registration& registration);
    void Erase(uint32_t index);
    void Commit() { update_.Commit(); }

   private:
    SiteModel* site_;
    JournaledFile::Update update_;
  };

  const std::string& path() const { return file_->path(); }
  static uint64_t FileSize();

 private:
  explicit SiteModel(std::unique_ptr<JournaledFile> file) : file_(std::move(file)) {}

  std::unique_ptr<JournaledFile> file_;
};

// Both tables take a feature's slot from the high bits of its hash, the site's table more of
// them: a site slot shifted right by this is the user slot of the same feature.
inline constexpr int kSiteToUserSlotShift = SiteModel::kTableBits - UserDatabase::kTableBits;

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_SITE_MODEL_H_
