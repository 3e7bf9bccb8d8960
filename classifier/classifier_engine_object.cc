#include "classifier/classifier_engine_object.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "classifier/counting_model.h"
#include "logging/log_event.h"
#include "logging/log_file.h"
#include "logging/lost_log_records.h"
#include "platform/failure.h"

namespace corvalith {

namespace {

// A mail's vector on one table, with the weights and counts of its slots copied out, so that
// a step (undo, then train and count) can be worked out before anything is written.
struct Working {
  MailVector vector;
  std::vector<float> weights;
  std::vector<SlotCounts> counts;
  CountedMails mails;

  template <typename Model>
  void Load(const Model& model) {
    const float* table = model.weights();
    weights.resize(vector.slots.size());
    for (size_t i = 0; i < weights.size(); ++i) weights[i] = table[vector.slots[i]];
    counts = CountsOfSlots(vector.slots, model.counts());
    mails = model.counted_mails();
  }
  double Score() const {
    double score = 0;
    for (size_t i = 0; i < weights.size(); ++i) score += weights[i] * vector.values[i];
    return std::isfinite(score) ? score : 0.0;
  }
  void Add(double gain) {
    for (size_t i = 0; i < weights.size(); ++i) {
      weights[i] += static_cast<float>(gain * vector.values[i]);
    }
  }
  // Counts the mail in (+1) or out of (-1) a class; counts saturate rather than wrap.
  void Count(bool spam, int delta) {
    auto move = [delta](uint32_t& n) {
      if (delta > 0 && n < std::numeric_limits<uint32_t>::max()) ++n;
      if (delta < 0 && n > 0) --n;
    };
    for (SlotCounts& c : counts) move(spam ? c.spam : c.ham);
    move(spam ? mails.spam : mails.ham);
  }
  MailCounts Counts() const { return {&vector.slots, counts, mails}; }
  template <typename Update>
  void WriteWeights(Update* update) const {
    for (size_t i = 0; i < weights.size(); ++i) update->SetWeight(vector.slots[i], weights[i]);
  }
  template <typename Update>
  void WriteCounts(Update* update) const {
    for (size_t i = 0; i < counts.size(); ++i) update->SetSlotCounts(vector.slots[i], counts[i]);
    update->SetCountedMails(mails);
  }
};

void CheckKey(const std::string& key) {
  if (key.empty()) throw Failure("The classifier database key is empty", E_INVALIDARG);
}

// Probability that the mail is spam as the verdict sees it: above one half exactly when the
// score passes the spam threshold.
double VerdictProbability(double score, const ModelOptions& options) {
  return Probability(score - options.spam_threshold);
}

std::optional<uint32_t> IndexOf(const std::optional<SiteModel::Found>& found) {
  return found ? std::optional<uint32_t>(found->index) : std::nullopt;
}

// The site model registers a mail where the sum's `verdict` agrees with its own (model.h):
// counts it, and trains on it inside its margin; returns its score afterwards. The weights
// and counts are read again under the exclusive lock: another process may have changed them
// since the verdict was read.
double RegisterOnSite(SiteModel* site, uint64_t key, Working* mail, bool verdict,
                      const ModelOptions& options) {
  SiteModel::Lock lock(site, /*exclusive=*/true);
  mail->Load(*site);
  const double score = mail->Score();
  if ((score > options.spam_threshold) != verdict || site->Find(key)) return score;
  const double gain = SiteSelfTrainingGain(score, verdict, options);
  mail->Add(gain);
  mail->Count(verdict, +1);
  SiteModel::Update update(site);
  if (gain != 0) {
    mail->WriteWeights(&update);
    update.CountTrained(verdict);
  }
  mail->WriteCounts(&update);
  update.Remember(key, std::nullopt, {verdict, static_cast<float>(gain), /*counted=*/true});
  update.Commit();
  return score + gain;
}

// Takes a registration off the site: its training undone, its counts taken back.
void Unregister(const SiteModel::Registration& registration, Working* mail) {
  mail->Add(-registration.gain);
  if (registration.counted) mail->Count(registration.spam, -1);
}

// A user's training of the site model: the mail's earlier registration undone, then counted
// and trained as `spam` unless the site holds it firmly on the other side (model.h). Returns
// the site's score afterwards.
double TeachSite(SiteModel* site, uint64_t key, Working* mail, bool spam,
                 const ModelOptions& options) {
  SiteModel::Lock lock(site, /*exclusive=*/true);
  mail->Load(*site);
  const std::optional<SiteModel::Found> found = site->Find(key);
  if (found) Unregister(found->registration, mail);
  const double score = mail->Score();
  const bool vetoed = SiteVetoes(score, spam, options);
  if (!found && vetoed) return score;
  SiteModel::Update update(site);
  double gain = 0;
  if (vetoed) {
    update.Erase(found->index);
  } else {
    gain = TrainingGain(score, spam, options);
    mail->Add(gain);
    mail->Count(spam, +1);
    if (gain != 0) update.CountTrained(spam);
    update.Remember(key, IndexOf(found), {spam, static_cast<float>(gain), /*counted=*/true});
  }
  mail->WriteWeights(&update);
  mail->WriteCounts(&update);
  update.Commit();
  return score + gain;
}

void ForgetOnSite(SiteModel* site, uint64_t key, Working* mail) {
  SiteModel::Lock lock(site, /*exclusive=*/true);
  const std::optional<SiteModel::Found> found = site->Find(key);
  if (!found) return;
  mail->Load(*site);
  Unregister(found->registration, mail);
  SiteModel::Update update(site);
  mail->WriteWeights(&update);
  mail->WriteCounts(&update);
  update.Erase(found->index);
  update.Commit();
}

}  // namespace

struct ClassifierEngineObject::Mail {
  uint64_t digest = 0;
  Working user, site;
};

ClassifierEngineObject::ClassifierEngineObject(const EngineOptions& options, SiteModelAlarm alarm)
    : options_(options), alarm_(std::move(alarm)) {}

ClassifierEngineObject::~ClassifierEngineObject() = default;

HRESULT ClassifierEngineObject::QueryInterface(const IID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IClassifierEngine) {
    *object = static_cast<IClassifierEngine*>(this);
    AddRef();
    return S_OK;
  }
  if (iid == IID_IClassifierVerdictScore) {
    *object = static_cast<IClassifierVerdictScore*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT ClassifierEngineObject::LastVerdictProbability(double* spam_probability) {
  if (spam_probability == nullptr) return E_POINTER;
  if (!has_verdict_) return E_FAIL;
  *spam_probability = last_probability_;
  return S_OK;
}

uint32_t ClassifierEngineObject::AddRef() { return ++references_; }

uint32_t ClassifierEngineObject::Release() {
  uint32_t left = --references_;
  if (left == 0) delete this;
  return left;
}

UserDatabase* ClassifierEngineObject::Database(const std::string& key, bool create) {
  CheckKey(key);
  if (open_database_ && open_key_ == key) return open_database_.get();
  std::unique_ptr<UserDatabase> db = UserDatabase::Open(key, create);
  if (!db) return nullptr;
  open_database_ = std::move(db);
  open_key_ = key;
  return open_database_.get();
}

SiteModel* ClassifierEngineObject::Site(const std::string& key, bool create) {
  const std::string path = SiteModelPath(key, options_.site_scope);
  if (path.empty()) return nullptr;
  if (open_site_ && open_site_path_ == path) return open_site_.get();
  std::unique_ptr<SiteModel> site;
  if (!OnSite([&] { site = SiteModel::Open(path, create); }) || !site) return nullptr;
  open_site_ = std::move(site);
  open_site_path_ = path;
  return open_site_.get();
}

template <typename Step>
bool ClassifierEngineObject::OnSite(Step&& step) {
  try {
    step();
    return true;
  } catch (const Failure& failure) {
    site_failure_ = failure;
    // Opened afresh next time: the file at the path may have been put right by then.
    open_site_.reset();
    open_site_path_.clear();
    return false;
  }
}

ClassifierEngineObject::Mail ClassifierEngineObject::Prepare(const std::string& header,
                                                             const std::string& body) const {
  const ModelOptions& o = options_.model;
  const MailFeatures features = ExtractFeatures(header, body, o.features);
  Mail mail;
  mail.digest = MailDigest(header, body);
  mail.user.vector = Vectorize(features, UserDatabase::kTableBits, o.header_share);
  if (options_.site_scope != SiteScope::kOff) {
    mail.site.vector = Vectorize(features, SiteModel::kTableBits, o.header_share);
  }
  return mail;
}

double ClassifierEngineObject::CountingShare(const Mail& mail, bool with_site) const {
  const MailCounts site = mail.site.Counts();
  return CountingScore(mail.user.Counts(), with_site ? &site : nullptr, kSiteToUserSlotShift,
                       options_.model);
}

HRESULT ClassifierEngineObject::Classify(const std::string& key, const std::string& header,
                                         const std::string& body, bool* spam) {
  if (spam == nullptr) return E_POINTER;
  const HRESULT status = ReturnStatus([&] {
    const ModelOptions& o = options_.model;
    site_failure_.reset();
    Mail mail = Prepare(header, body);
    UserDatabase* db = Database(key, /*create=*/true);
    UserDatabase::Lock lock(db, /*exclusive=*/true);
    mail.user.Load(*db);
    SiteModel* site = Site(key, /*create=*/true);
    double site_score = 0;
    uint32_t site_trained[2] = {0, 0};
    const bool with_site = site != nullptr && OnSite([&] {
                             SiteModel::Lock site_lock(site, /*exclusive=*/false);
                             mail.site.Load(*site);
                             site_trained[0] = site->trained_mails(false);
                             site_trained[1] = site->trained_mails(true);
                             site_score = mail.site.Score();
                           });
    if (!with_site) site_score = site_trained[0] = site_trained[1] = 0;
    const double user_score = mail.user.Score();
    const double counting = CountingShare(mail, with_site);
    const double score = FusedScore(site_score + user_score, counting, o);
    const uint32_t ham_mails = db->ham_mails(), spam_mails = db->spam_mails();
    const bool verdict = IsSpam(score, int64_t{ham_mails} + site_trained[0],
                                int64_t{spam_mails} + site_trained[1], o);
    last_probability_ = VerdictProbability(score, o);
    has_verdict_ = true;
    *spam = verdict;
    // A mail registered before (delivered twice, or already corrected) keeps its
    // registration: counting or training it again would make Relearn's undo incomplete.
    if (db->FindMail(mail.digest)) return;
    // Training on the verdict while inside the margin measured clearly better than training
    // on corrections only (see classifier/README.md); a correction undoes it. The site
    // registers first; the user's own model then learns what the site does not explain.
    if (with_site && (site_score > o.spam_threshold) == verdict) {
      const uint64_t site_key = SiteModel::RegistrationKey(key, mail.digest);
      OnSite([&] { site_score = RegisterOnSite(site, site_key, &mail.site, verdict, o); });
    }
    double gain = 0;
    if (o.self_train) gain = TrainingGain(site_score + user_score, verdict, o);
    mail.user.Count(verdict, +1);
    UserDatabase::Update update(db);
    if (gain != 0) {
      mail.user.Add(gain);
      mail.user.WriteWeights(&update);
    }
    mail.user.WriteCounts(&update);
    update.SetCounts(ham_mails + (verdict ? 0 : 1), spam_mails + (verdict ? 1 : 0));
    update.PutLedgerEntry(std::nullopt,
                          {mail.digest, verdict, static_cast<float>(gain), /*counted=*/true});
    update.Commit();
  });
  AlarmOnSiteFailure(key);
  return status;
}

void ClassifierEngineObject::Teach(const std::string& key, const std::string& header,
                                   const std::string& body, bool spam) {
  const ModelOptions& o = options_.model;
  site_failure_.reset();
  Mail mail = Prepare(header, body);
  UserDatabase* db = Database(key, /*create=*/true);
  UserDatabase::Lock lock(db, /*exclusive=*/true);
  std::optional<uint32_t> index = db->FindMail(mail.digest);
  UserDatabase::LedgerEntry entry;
  if (index) {
    entry = db->ledger_entry(*index);
    if (entry.spam == spam) return;  // already held as this class: a repeat changes nothing
  }
  mail.user.Load(*db);
  uint32_t counts[2] = {db->ham_mails(), db->spam_mails()};
  if (index) {
    mail.user.Add(-entry.gain);
    if (entry.counted) mail.user.Count(entry.spam, -1);
    counts[entry.spam] = counts[entry.spam] > 0 ? counts[entry.spam] - 1 : 0;
  }
  mail.user.Count(spam, +1);
  double site_score = 0;
  if (SiteModel* site = Site(key, /*create=*/true)) {
    const uint64_t site_key = SiteModel::RegistrationKey(key, mail.digest);
    OnSite([&] { site_score = TeachSite(site, site_key, &mail.site, spam, o); });
  }
  const double gain = TrainingGain(site_score + mail.user.Score(), spam, o);
  mail.user.Add(gain);
  ++counts[spam];
  UserDatabase::Update update(db);
  mail.user.WriteWeights(&update);
  mail.user.WriteCounts(&update);
  update.SetCounts(counts[0], counts[1]);
  update.PutLedgerEntry(index, {mail.digest, spam, static_cast<float>(gain), /*counted=*/true});
  update.Commit();
}

HRESULT ClassifierEngineObject::Learn(const std::string& key, const std::string& header,
                                      const std::string& body, bool spam) {
  const HRESULT status = ReturnStatus([&] { Teach(key, header, body, spam); });
  AlarmOnSiteFailure(key);
  return status;
}

HRESULT ClassifierEngineObject::Relearn(const std::string& key, const std::string& header,
                                        const std::string& body, bool spam) {
  const HRESULT status = ReturnStatus([&] { Teach(key, header, body, spam); });
  AlarmOnSiteFailure(key);
  return status;
}

void ClassifierEngineObject::AlarmOnSiteFailure(const std::string& key) {
  if (site_failure_ && alarm_) alarm_(key, *site_failure_);
}

HRESULT ClassifierEngineObject::Forget(const std::string& key, const std::string& header,
                                       const std::string& body) {
  const HRESULT status = ReturnStatus([&] {
    site_failure_.reset();
    UserDatabase* db = Database(key, /*create=*/false);
    if (db == nullptr) return;
    Mail mail = Prepare(header, body);
    if (SiteModel* site = Site(key, /*create=*/false)) {
      const uint64_t site_key = SiteModel::RegistrationKey(key, mail.digest);
      OnSite([&] { ForgetOnSite(site, site_key, &mail.site); });
    }
    UserDatabase::Lock lock(db, /*exclusive=*/true);
    std::optional<uint32_t> index = db->FindMail(mail.digest);
    if (!index) return;
    const UserDatabase::LedgerEntry entry = db->ledger_entry(*index);
    uint32_t counts[2] = {db->ham_mails(), db->spam_mails()};
    counts[entry.spam] = counts[entry.spam] > 0 ? counts[entry.spam] - 1 : 0;
    mail.user.Load(*db);
    UserDatabase::Update update(db);
    if (entry.gain != 0) {
      mail.user.Add(-entry.gain);
      mail.user.WriteWeights(&update);
    }
    if (entry.counted) {
      mail.user.Count(entry.spam, -1);
      mail.user.WriteCounts(&update);
    }
    update.SetCounts(counts[0], counts[1]);
    update.EraseLedgerEntry(*index);
    update.Commit();
  });
  AlarmOnSiteFailure(key);
  return status;
}

HRESULT ClassifierEngineObject::Score(const std::string& key, const std::string& header,
                                      const std::string& body, double* spam_probability) {
  if (spam_probability == nullptr) return E_POINTER;
  return ReturnStatus([&] {
    site_failure_.reset();
    Mail mail = Prepare(header, body);
    double score = 0;
    if (UserDatabase* db = Database(key, /*create=*/false)) {
      UserDatabase::Lock lock(db, /*exclusive=*/false);
      mail.user.Load(*db);
      score += mail.user.Score();
    } else {
      mail.user.counts.assign(mail.user.vector.slots.size(), SlotCounts{});
    }
    bool with_site = false;
    if (SiteModel* site = Site(key, /*create=*/false)) {
      with_site = OnSite([&] {
        SiteModel::Lock lock(site, /*exclusive=*/false);
        mail.site.Load(*site);
        score += mail.site.Score();
      });
    }
    *spam_probability = VerdictProbability(
        FusedScore(score, CountingShare(mail, with_site), options_.model), options_.model);
  });
}

HRESULT ClassifierEngineObject::Compact(const std::string& key) {
  // The files have a fixed size, so there is no space to reclaim; taking the locks completes
  // an update a crashed writer left in a journal.
  return ReturnStatus([&] {
    site_failure_.reset();
    if (UserDatabase* db = Database(key, /*create=*/false)) {
      UserDatabase::Lock lock(db, /*exclusive=*/true);
    }
    if (SiteModel* site = Site(key, /*create=*/false)) {
      OnSite([&] { SiteModel::Lock lock(site, /*exclusive=*/true); });
    }
  });
}

HRESULT ClassifierEngineObject::GetStatistics(const std::string& key, int32_t* ham, int32_t* spam) {
  if (ham == nullptr || spam == nullptr) return E_POINTER;
  return ReturnStatus([&] {
    *ham = 0;
    *spam = 0;
    UserDatabase* db = Database(key, /*create=*/false);
    if (db == nullptr) return;
    UserDatabase::Lock lock(db, /*exclusive=*/false);
    constexpr uint32_t kMax = std::numeric_limits<int32_t>::max();
    *ham = static_cast<int32_t>(std::min(db->ham_mails(), kMax));
    *spam = static_cast<int32_t>(std::min(db->spam_mails(), kMax));
  });
}

namespace {

// `options` gives the options of each new object.
void Register(ClassTable& table, std::function<EngineOptions()> options,
              SiteModelAlarm alarm = nullptr) {
  table.Register(CLSID_ClassifierEngine,
                 [options, alarm](const IID& iid, void** object) -> HRESULT {
                   if (object == nullptr) return E_POINTER;
                   *object = nullptr;
                   auto* engine = new (std::nothrow) ClassifierEngineObject(options(), alarm);
                   if (engine == nullptr) {
                     SetErrorInfo("Out of memory creating the classifier engine");
                     return E_OUTOFMEMORY;
                   }
                   HRESULT hr = engine->QueryInterface(iid, object);
                   if (Failed(hr))
                     SetErrorInfo("The classifier engine does not implement " + GuidToString(iid));
                   engine->Release();
                   return hr;
                 });
}

// The record and the event of an unusable site model. Whatever fails here is the engine's
// courtesy failing, never the call: a record the log cannot take is lost, and noted as such.
void ReportUnusableSiteModel(Environment& environment, const std::string& site_path,
                             const std::string& key, const Failure& failure) {
  const std::string text =
      "Site model not used, each user's own model decides alone: " + failure.description();
  try {
    AppendLogRecord(environment.file_system(), environment.clock(), DataDirectoryOfKey(key),
                    ErrorRecordText(text, failure.number(), site_path));
  } catch (const Failure& lost) {
    NoteLostLogRecord(lost);
  }
  LogEvent::WriteEventLog(environment.event_log(), text, EVENTLOG_ERROR_TYPE,
                          kSiteModelUnusableEventId);
}

}  // namespace

void RegisterClassifierEngine(ClassTable& table, Environment& environment) {
  // Read once, at the first object: like the filter's settings, the engine's are kept for the
  // life of the process.
  struct Shared {
    std::once_flag read;
    EngineOptions options;
    std::atomic<bool> site_failure_reported{false};
  };
  auto shared = std::make_shared<Shared>();
  auto options = [shared, &environment] {
    std::call_once(shared->read,
                   [&] { shared->options.site_scope = ReadSiteScope(environment.registry()); });
    return shared->options;
  };
  // Once, not per mail: a damaged site model fails every call until it is put right.
  auto alarm = [shared, &environment](const std::string& key, const Failure& failure) {
    if (shared->site_failure_reported.exchange(true)) return;
    ReportUnusableSiteModel(environment, SiteModelPath(key, shared->options.site_scope), key,
                            failure);
  };
  Register(table, options, alarm);
}

void RegisterClassifierEngine(ClassTable& table, const EngineOptions& options) {
  Register(table, [options] { return options; });
}

}  // namespace corvalith
