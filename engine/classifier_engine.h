// The classification engine as the filter calls it: one object per save event, created by
// class identifier, keeping one database per user at exactly the path given as the key.
// Every call returns a COM status; a failure status leaves its description as the thread's
// error information (see platform/com.h).
#ifndef CORVALITH_ENGINE_CLASSIFIER_ENGINE_H_
#define CORVALITH_ENGINE_CLASSIFIER_ENGINE_H_

#include <string>

#include "platform/com.h"

namespace corvalith {

// {3B7A9E21-4C5D-4E6F-8A1B-2C3D4E5F6A7B}
inline constexpr CLSID CLSID_ClassifierEngine = {
    0x3B7A9E21, 0x4C5D, 0x4E6F, {0x8A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x6A, 0x7B}};
// {3B7A9E22-4C5D-4E6F-8A1B-2C3D4E5F6A7B}
inline constexpr IID IID_IClassifierEngine = {
    0x3B7A9E22, 0x4C5D, 0x4E6F, {0x8A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x6A, 0x7B}};

// Slots in order. The filter calls 1, 2, 3 and 7.
class IClassifierEngine : public IUnknown {
 public:
  // 1: the verdict for a mail, true for spam. Registers the mail for the user, so that the
  // user's database exists at `key` afterwards.
  virtual HRESULT Classify(const std::string& key, const std::string& header,
                           const std::string& body, bool* spam) = 0;
  // 2: trains the mail as the given class.
  virtual HRESULT Learn(const std::string& key, const std::string& header, const std::string& body,
                        bool spam) = 0;
  // 3: corrects an earlier registration of the same mail to the given class; a mail never
  // seen is simply trained; a repeat with the same class changes nothing.
  virtual HRESULT Relearn(const std::string& key, const std::string& header,
                          const std::string& body, bool spam) = 0;
  // 4: removes whatever the mail's registration contributed.
  virtual HRESULT Forget(const std::string& key, const std::string& header,
                         const std::string& body) = 0;
  // 5: the spam probability in [0, 1] without registering anything.
  virtual HRESULT Score(const std::string& key, const std::string& header, const std::string& body,
                        double* spam_probability) = 0;
  // 6: reclaims unused space in the user's database.
  virtual HRESULT Compact(const std::string& key) = 0;
  // 7: the numbers of mails the user's database holds as ham and as spam; 0/0 and nothing
  // created for an unknown user.
  virtual HRESULT GetStatistics(const std::string& key, int32_t* ham, int32_t* spam) = 0;

 protected:
  ~IClassifierEngine() = default;
};

// {3B7A9E23-4C5D-4E6F-8A1B-2C3D4E5F6A7B}
inline constexpr IID IID_IClassifierVerdictScore = {
    0x3B7A9E23, 0x4C5D, 0x4E6F, {0x8A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x6A, 0x7B}};

// What an engine object may tell besides its verdicts (QueryInterface; an engine without it
// answers E_NOINTERFACE): the score behind the last verdict, so that whoever shows the verdict
// can show its score without scoring the mail a second time.
class IClassifierVerdictScore : public IUnknown {
 public:
  // The spam probability in [0, 1] behind the last verdict of Classify on this object, before
  // any training; E_FAIL when Classify has not answered one.
  virtual HRESULT LastVerdictProbability(double* spam_probability) = 0;

 protected:
  ~IClassifierVerdictScore() = default;
};

}  // namespace corvalith

#endif  // CORVALITH_ENGINE_CLASSIFIER_ENGINE_H_
