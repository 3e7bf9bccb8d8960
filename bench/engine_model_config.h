// The engine's model options by name, for the benchmarks that try settings on the development
// split: "key=value" items changing ModelOptions from the engine's defaults.
//   model     lr, passes, margin (spam), hmargin (ham), threshold, self (0/1), minc, share
//   features  words, osb, tags, hosts, hdr, ev (0/1), gram, hgram (bytes), maxf
//   counting  cw (its weight in the score), cs (prior strength), cdev (least deviation from
//             one half), cmax (most features), limit (of the linear models' sum in the score)
#ifndef CORVALITH_BENCH_ENGINE_MODEL_CONFIG_H_
#define CORVALITH_BENCH_ENGINE_MODEL_CONFIG_H_

#include <string>

#include "classifier/model.h"

namespace corvalith::bench {

// Sets the option `key` to `value`; false when no model option has that name.
bool SetModelOption(const std::string& key, double value, ModelOptions* options);

// A comma-separated list of key=value; false at the first item that is no model option.
bool ParseModelOptions(const std::string& text, ModelOptions* options);

}  // namespace corvalith::bench

#endif  // CORVALITH_BENCH_ENGINE_MODEL_CONFIG_H_
