// The classification engine COM object: the project's linear classifier (model.h) over
// per-user databases (user_database.h) and the site model (site_model.h), behind
// IClassifierEngine.
//
// One object serves one save event; it keeps the last user database and site model it opened
// until it is released. Distinct objects may be used from distinct threads at once (the file
// locks serialise them); one object is for one thread at a time.
//
// Lock order: a call that holds both locks takes the user database's first and the site
// model's inside it (Classify, and Learn and Relearn through Teach), never the other way
// round, so that two objects or processes can never each hold one and wait for the other.
// Forget takes the site model's lock without holding the user's (the site's registration is
// undone first, then the user's, each under its own lock); Score and Compact take them one
// after the other. A call that took the user's lock while holding the site's would deadlock
// against Classify in another process.
//
// The site model is an aid, never a condition: when it is off, missing for a read-only call,
// or cannot be used (a foreign or damaged file, a failed creation or lock), the user's own
// model decides alone and the call still succeeds; site_failure() says why. That must not go
// unseen: users' models learn only what the site model leaves unexplained, so without it a
// trained user's mail scores much like an untrained one's. The calls that register or train
// (Classify, Learn, Relearn, Forget) hand the failure to the object's SiteModelAlarm.
#ifndef CORVALITH_CLASSIFIER_CLASSIFIER_ENGINE_OBJECT_H_
#define CORVALITH_CLASSIFIER_CLASSIFIER_ENGINE_OBJECT_H_

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "classifier/engine_settings.h"
#include "classifier/site_model.h"
#include "classifier/user_database.h"
#include "engine/classifier_engine.h"
#include "platform/environment.h"
#include "platform/failure.h"
#include "platform/object_factory.h"

namespace corvalith {

// Told that a call for the user's `key` could not use the site model, and why.
using SiteModelAlarm = std::function<void(const std::string& key, const Failure& failure)>;

// Makes CLSID_ClassifierEngine creatable through `table`, as the filter's environment does.
// The engine's settings are read from the environment's registry when the first object is
// created, and kept. The first time an object cannot use the site model, one error record goes
// into the log of the key's data directory (Corvalith.log: "Err: Site model not used, each
// user's own model decides alone: WHY 0xNUMBER Source: SITE MODEL PATH"; a record the log cannot
// take is lost, and noted in logging/lost_log_records.h) and one error entry into the event log
// (kSiteModelUnusableEventId); later failures of any object of the table are not reported
// again. `environment` must outlive `table`.
void RegisterClassifierEngine(ClassTable& table, Environment& environment);

// The same with fixed options, for tests and benchmarks.
void RegisterClassifierEngine(ClassTable& table, const EngineOptions& options = EngineOptions());

class ClassifierEngineObject final : public IClassifierEngine, public IClassifierVerdictScore {
 public:
  // The reference count starts at one, owned by the caller. `alarm` may be empty.
  explicit ClassifierEngineObject(const EngineOptions& options = EngineOptions(),
                                  SiteModelAlarm alarm = nullptr);

  HRESULT QueryInterface(const IID& iid, void** object) override;
  uint32_t AddRef() override;
  uint32_t Release() override;

  HRESULT Classify(const std::string& key, const std::string& header, const std::string& body,
                   bool* spam) override;
  HRESULT Learn(const std::string& key, const std::string& header, const std::string& body,
                bool spam) override;
  HRESULT Relearn(const std::string& key, const std::string& header, const std::string& body,
                  bool spam) override;
  HRESULT Forget(const std::string& key, const std::string& header,
                 const std::string& body) override;
  HRESULT Score(const std::string& key, const std::string& header, const std::string& body,
                double* spam_probability) override;
  HRESULT Compact(const std::string& key) override;
  HRESULT GetStatistics(const std::string& key, int32_t* ham, int32_t* spam) override;

  // The spam probability behind the last verdict of Classify, before any training; what
  // Score would have answered for that mail at that moment.
  double last_probability() const { return last_probability_; }
  HRESULT LastVerdictProbability(double* spam_probability) override;
  // Why the site model took no part in the last call that wanted it; empty when it did.
  std::string site_failure() const {
    return site_failure_ ? site_failure_->description() : std::string();
  }

 private:
  struct Mail;

  ~ClassifierEngineObject();
  // The user's database, opened once per object; nullptr for an unknown user unless `create`.
  UserDatabase* Database(const std::string& key, bool create);
  // The site model for the key; nullptr when it is off, missing and not to be created, or
  // unusable (then site_failure_ says why).
  SiteModel* Site(const std::string& key, bool create);
  Mail Prepare(const std::string& header, const std::string& body) const;
  // The counting model's share of the score, from the counts loaded into `mail`.
  double CountingShare(const Mail& mail, bool with_site) const;
  // Runs a step on the site model; a failure leaves the site out (false) instead of failing
  // the call.
  template <typename Step>
  bool OnSite(Step&& step);
  // Trains a mail as `spam`, correcting its earlier registration if there is one.
  void Teach(const std::string& key, const std::string& header, const std::string& body, bool spam);
  // Sounds the alarm when the call that just ended left the site model out.
  void AlarmOnSiteFailure(const std::string& key);

  std::atomic<uint32_t> references_{1};
  EngineOptions options_;
  std::string open_key_;
  std::unique_ptr<UserDatabase> open_database_;
  std::string open_site_path_;
  std::unique_ptr<SiteModel> open_site_;
  double last_probability_ = 0;
  bool has_verdict_ = false;  // Classify has set last_probability_
  std::optional<Failure> site_failure_;
  SiteModelAlarm alarm_;
};

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_CLASSIFIER_ENGINE_OBJECT_H_
