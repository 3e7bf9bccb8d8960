// The classification engine COM object: the project's linear classifier (model.h) over
// per-user databases (user_database.h), behind IClassifierEngine.
//
// One object serves one save event; it keeps the last user database it opened until it is
// released. Distinct objects may be used from distinct threads at once (the file lock
// serialises them); one object is for one thread at a time.
#ifndef CORVALITH_CLASSIFIER_CLASSIFIER_ENGINE_OBJECT_H_
#define CORVALITH_CLASSIFIER_CLASSIFIER_ENGINE_OBJECT_H_

#include <atomic>
#include <memory>
#include <string>

#include "classifier/model.h"
#include "classifier/user_database.h"
#include "engine/classifier_engine.h"
#include "platform/object_factory.h"

namespace corvalith {

// Makes CLSID_ClassifierEngine creatable through `table`.
void RegisterClassifierEngine(ClassTable& table);

class ClassifierEngineObject final : public IClassifierEngine {
 public:
  // The reference count starts at one, owned by the caller.
  explicit ClassifierEngineObject(const ModelOptions& options = ModelOptions());

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

 private:
  ~ClassifierEngineObject();
  // The user's database, opened once per object; nullptr for an unknown user unless `create`.
  UserDatabase* Database(const std::string& key, bool create);
  // Trains a mail as `spam`, correcting its earlier registration if there is one.
  void Teach(const std::string& key, const std::string& header, const std::string& body, bool spam);

  std::atomic<uint32_t> references_{1};
  ModelOptions options_;
  std::string open_key_;
  std::unique_ptr<UserDatabase> open_database_;
  double last_probability_ = 0;
};

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_CLASSIFIER_ENGINE_OBJECT_H_
