#include "classifier/classifier_engine_object.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <vector>

namespace corvalith {

namespace {

// A mail as the database sees it: its slots, their current weights copied out so that a
// correction (undo, then train) can be worked out before anything is written.
struct WorkingMail {
  MailVector vector;
  uint64_t digest = 0;
  std::vector<float> weights;

  double Score() const {
    double sum = 0;
    for (float w : weights) sum += w;
    double score = sum * vector.value;
    return std::isfinite(score) ? score : 0.0;
  }
  void Add(double gain) {
    const float delta = static_cast<float>(gain * vector.value);
    for (float& w : weights) w += delta;
  }
  void Write(UserDatabase::Update* update) const {
    for (size_t i = 0; i < weights.size(); ++i) update->SetWeight(vector.slots[i], weights[i]);
  }
};

WorkingMail Prepare(const std::string& header, const std::string& body,
                    const ModelOptions& options) {
  WorkingMail mail;
  mail.vector =
      Vectorize(ExtractFeatures(header, body, options.features), UserDatabase::kTableBits);
  mail.digest = MailDigest(header, body);
  return mail;
}

void LoadWeights(const UserDatabase& db, WorkingMail* mail) {
  mail->weights.resize(mail->vector.slots.size());
  const float* table = db.weights();
  for (size_t i = 0; i < mail->weights.size(); ++i) mail->weights[i] = table[mail->vector.slots[i]];
}

void CheckKey(const std::string& key) {
  if (key.empty()) throw Failure("The classifier database key is empty", E_INVALIDARG);
}

// Probability that the mail is spam as the verdict sees it: above one half exactly when the
// score passes the spam threshold.
double VerdictProbability(double score, const ModelOptions& options) {
  return Probability(score - options.spam_threshold);
}

}  // namespace

ClassifierEngineObject::ClassifierEngineObject(const ModelOptions& options) : options_(options) {}

ClassifierEngineObject::~ClassifierEngineObject() = default;

HRESULT ClassifierEngineObject::QueryInterface(const IID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IClassifierEngine) {
    *object = static_cast<IClassifierEngine*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
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

HRESULT ClassifierEngineObject::Classify(const std::string& key, const std::string& header,
                                         const std::string& body, bool* spam) {
  if (spam == nullptr) return E_POINTER;
  return ReturnStatus([&] {
    WorkingMail mail = Prepare(header, body, options_);
    UserDatabase* db = Database(key, /*create=*/true);
    UserDatabase::Lock lock(db, /*exclusive=*/true);
    LoadWeights(*db, &mail);
    const double score = mail.Score();
    const uint32_t ham_mails = db->ham_mails(), spam_mails = db->spam_mails();
    const bool verdict = IsSpam(score, ham_mails, spam_mails, options_);
    last_probability_ = VerdictProbability(score, options_);
    *spam = verdict;
    // A mail registered before (delivered twice, or already corrected) keeps its
    // registration: counting or training it again would make Relearn's undo incomplete.
    if (db->FindMail(mail.digest)) return;
    // Training on our own verdict while inside the margin measured clearly better than
    // training on corrections only (see classifier/README.md); a correction undoes it.
    const double gain = options_.self_train ? TrainingGain(score, verdict, options_) : 0.0;
    UserDatabase::Update update(db);
    if (gain != 0) {
      mail.Add(gain);
      mail.Write(&update);
    }
    update.SetCounts(ham_mails + (verdict ? 0 : 1), spam_mails + (verdict ? 1 : 0));
    update.PutLedgerEntry(std::nullopt, {mail.digest, verdict, static_cast<float>(gain)});
    update.Commit();
  });
}

void ClassifierEngineObject::Teach(const std::string& key, const std::string& header,
                                   const std::string& body, bool spam) {
  WorkingMail mail = Prepare(header, body, options_);
  UserDatabase* db = Database(key, /*create=*/true);
  UserDatabase::Lock lock(db, /*exclusive=*/true);
  std::optional<uint32_t> index = db->FindMail(mail.digest);
  UserDatabase::LedgerEntry entry;
  if (index) {
    entry = db->ledger_entry(*index);
    if (entry.spam == spam) return;  // already held as this class: a repeat changes nothing
  }
  LoadWeights(*db, &mail);
  uint32_t counts[2] = {db->ham_mails(), db->spam_mails()};
  if (index) {
    mail.Add(-entry.gain);
    counts[entry.spam] = counts[entry.spam] > 0 ? counts[entry.spam] - 1 : 0;
  }
  const double gain = TrainingGain(mail.Score(), spam, options_);
  mail.Add(gain);
  ++counts[spam];
  UserDatabase::Update update(db);
  mail.Write(&update);
  update.SetCounts(counts[0], counts[1]);
  update.PutLedgerEntry(index, {mail.digest, spam, static_cast<float>(gain)});
  update.Commit();
}

HRESULT ClassifierEngineObject::Learn(const std::string& key, const std::string& header,
                                      const std::string& body, bool spam) {
  return ReturnStatus([&] { Teach(key, header, body, spam); });
}

HRESULT ClassifierEngineObject::Relearn(const std::string& key, const std::string& header,
                                        const std::string& body, bool spam) {
  return ReturnStatus([&] { Teach(key, header, body, spam); });
}

HRESULT ClassifierEngineObject::Forget(const std::string& key, const std::string& header,
                                       const std::string& body) {
  return ReturnStatus([&] {
    UserDatabase* db = Database(key, /*create=*/false);
    if (db == nullptr) return;
    WorkingMail mail = Prepare(header, body, options_);
    UserDatabase::Lock lock(db, /*exclusive=*/true);
    std::optional<uint32_t> index = db->FindMail(mail.digest);
    if (!index) return;
    const UserDatabase::LedgerEntry entry = db->ledger_entry(*index);
    uint32_t counts[2] = {db->ham_mails(), db->spam_mails()};
    counts[entry.spam] = counts[entry.spam] > 0 ? counts[entry.spam] - 1 : 0;
    UserDatabase::Update update(db);
    if (entry.gain != 0) {
      LoadWeights(*db, &mail);
      mail.Add(-entry.gain);
      mail.Write(&update);
    }
    update.SetCounts(counts[0], counts[1]);
    update.EraseLedgerEntry(*index);
    update.Commit();
  });
}

HRESULT ClassifierEngineObject::Score(const std::string& key, const std::string& header,
                                      const std::string& body, double* spam_probability) {
  if (spam_probability == nullptr) return E_POINTER;
  return ReturnStatus([&] {
    UserDatabase* db = Database(key, /*create=*/false);
    if (db == nullptr) {
      *spam_probability = VerdictProbability(0, options_);
      return;
    }
    WorkingMail mail = Prepare(header, body, options_);
    UserDatabase::Lock lock(db, /*exclusive=*/false);
    LoadWeights(*db, &mail);
    *spam_probability = VerdictProbability(mail.Score(), options_);
  });
}

HRESULT ClassifierEngineObject::Compact(const std::string& key) {
  // The file has a fixed size, so there is no space to reclaim; taking the lock completes
  // an update a crashed writer left in the journal.
  return ReturnStatus([&] {
    UserDatabase* db = Database(key, /*create=*/false);
    if (db != nullptr) UserDatabase::Lock lock(db, /*exclusive=*/true);
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

void RegisterClassifierEngine(ClassTable& table) {
  table.Register(CLSID_ClassifierEngine, [](const IID& iid, void** object) -> HRESULT {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    auto* engine = new (std::nothrow) ClassifierEngineObject();
    if (engine == nullptr) {
      SetErrorInfo("Out of memory creating the classifier engine");
      return E_OUTOFMEMORY;
    }
    HRESULT hr = engine->QueryInterface(iid, object);
    if (Failed(hr)) SetErrorInfo("The classifier engine does not implement " + GuidToString(iid));
    engine->Release();
    return hr;
  });
}

}  // namespace corvalith
