// The classification engine COM object: the project's linear classifier (model.h) over
// per-user databases (user_database.h) and the site model (site_model.h), behind
// IClassifierEngine.
//
// One object serves one save event; it keeps the last user database and site model it opened
// until it is released. Distinct objects may be used from distinct threads at once (the file
// locks serialise them); one object is for one thread at a time.
//
// The site model is an aid, never a condition: when it is off, missing for a read-only call,
// or cannot be used (a foreign or damaged file, a failed creation or lock), the user's own
// model decides alone and the call still succeeds; site_failure() says why.
#ifndef CORVALITH_CLASSIFIER_CLASSIFIER_ENGINE_OBJECT_H_
#define CORVALITH_CLASSIFIER_CLASSIFIER_ENGINE_OBJECT_H_

#include <atomic>
#include <memory>
#include <string>

#include "classifier/engine_settings.h"
#include "classifier/site_model.h"
#include "classifier/user_database.h"
#include "engine/classifier_engine.h"
#include "platform/object_factory.h"
#include "platform/registry.h"

namespace corvalith {

// Makes CLSID_ClassifierEngine creatable through `table`. The engine's settings are read from
// `registry` when the first object is created, and kept; `registry` must outlive `table`.
void RegisterClassifierEngine(ClassTable& table, Registry& registry);

// The same with fixed options, for tests and benchmarks.
void RegisterClassifierEngine(ClassTable& table, const EngineOptions& options = EngineOptions());

class ClassifierEngineObject final : public IClassifierEngine {
 public:
  // The reference count starts at one, owned by the caller.
  explicit ClassifierEngineObject(const EngineOptions& options = EngineOptions());

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
  // Why the site model took no part in the last call that wanted it; empty when it did.
  const std::string& site_failure() const { return site_failure_; }

 private:
  struct Mail;

  ~ClassifierEngineObject();
  // The user's database, opened once per object; nullptr for an unknown user unless `create`.
  UserDatabase* Database(const std::string& key, bool create);
  // The site model for the key; nullptr when it is off, missing and not to be created, or
  // unusable (then site_failure_ says why).
  SiteModel* Site(const std::string& key, bool create);
  Mail Prepare(const std::string& header, const std::string& body) const;
  // Runs a step on the site model; a failure leaves the site out (false) instead of failing
  // the call.
  template <typename Step>
  bool OnSite(Step&& step);
  // Trains a mail as `spam`, correcting its earlier registration if there is one.
  void Teach(const std::string& key, const std::string& header, const std::string& body, bool spam);

  std::atomic<uint32_t> references_{1};
  EngineOptions options_;
  std::string open_key_;
  std::unique_ptr<UserDatabase> open_database_;
  std::string open_site_path_;
  std::unique_ptr<SiteModel> open_site_;
  double last_probability_ = 0;
  std::string site_failure_;
};

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_CLASSIFIER_ENGINE_OBJECT_H_
