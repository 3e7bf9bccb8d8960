// A hostile mail through the classifier's feature extraction, as the engine prepares it:
// header block and body (HTML or plain) from the input, with the optional feature kinds
// switched by its first bytes. Every stage stays within its bounds and the mail maps onto
// distinct slots of the user's table with a finite value.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "classifier/features.h"
#include "classifier/model.h"
#include "classifier/user_database.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvalith;
  FuzzedDataProvider input(data, size);
  FeatureOptions options = ModelOptions().features;
  options.body_osb = input.ConsumeBool();
  options.header_ngram_bytes = input.ConsumeIntegralInRange<size_t>(0, 512);
  options.body_ngram_bytes = input.ConsumeIntegralInRange<size_t>(0, 512);
  if (input.ConsumeBool()) {
    // Tight bounds, so that every cut lands inside a token, a tag or a character reference.
    options.max_header_bytes = input.ConsumeIntegralInRange<size_t>(0, 256);
    options.max_body_bytes = input.ConsumeIntegralInRange<size_t>(0, 256);
    options.max_text_bytes = input.ConsumeIntegralInRange<size_t>(0, 256);
    options.max_features = input.ConsumeIntegralInRange<size_t>(0, 64);
  }
  const bool named = input.ConsumeBool();
  const std::string header = input.ConsumeRandomLengthString(16 * 1024);
  const std::string body = input.ConsumeRemainingBytesAsString();

  const MailFeatures features = ExtractFeatures(header, body, options, named);
  FUZZ_CHECK(features.hashes.size() <= options.max_features);
  FUZZ_CHECK(features.header_count <= features.hashes.size());
  FUZZ_CHECK(features.names.size() == (named ? features.hashes.size() : 0));
  MailVector mail = Vectorize(features, UserDatabase::kTableBits, ModelOptions().header_share);
  FUZZ_CHECK(mail.values.size() == mail.slots.size());
  FUZZ_CHECK(std::all_of(mail.values.begin(), mail.values.end(),
                         [](float v) { return std::isfinite(v) && v > 0 && v <= 1; }));
  std::vector<uint32_t> slots = mail.slots;
  std::sort(slots.begin(), slots.end());
  FUZZ_CHECK(std::adjacent_find(slots.begin(), slots.end()) == slots.end());
  FUZZ_CHECK(slots.empty() || slots.back() < (1u << UserDatabase::kTableBits));

  std::vector<std::string> tags, hosts;
  const std::string text = HtmlToText(body, options.max_body_bytes, &tags, &hosts);
  FUZZ_CHECK(text.size() <= 4 * std::min(body.size(), options.max_body_bytes));
  for (const std::string& host : hosts) FUZZ_CHECK(host.size() <= 255);
  const std::string host = UrlHost(header);
  FUZZ_CHECK(!std::any_of(host.begin(), host.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
  return 0;
}
