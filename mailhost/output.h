// How the commands answer: one line of text per result for a person, or one JSON object per
// line with --json for a script, and a progress bar on a terminal.
#ifndef CORVALITH_MAILHOST_OUTPUT_H_
#define CORVALITH_MAILHOST_OUTPUT_H_

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "mailhost/mail_host.h"

namespace corvalith::host {

using Json = nlohmann::ordered_json;

// "none", "ham" or "spam" for the filter's marker values, else the number.
std::string MarkerName(int32_t marker);
// The same in capitals, as a verdict shows: "HAM", "SPAM".
std::string MarkerText(int32_t marker);

// The text as a table column of `width` bytes: padded with blanks, or cut to end in "...".
// Line breaks and tabs (a subject may hold them) become blanks, so that a row stays one line.
std::string Column(std::string text, size_t width);

// {"ok":true,"url":…,"marker":N,"hidden":b}
Json StateJson(const ItemState& state);
// "HAM   url" and " hidden" when hidden.
std::string StateText(const ItemState& state);

// Answers of one command, flushed line by line so that a script reading a pipe sees each
// answer as soon as it is written.
class Output {
 public:
  Output(std::ostream& out, bool json) : out_(out), json_(json) {}
  bool json() const { return json_; }
  // Writes the object in JSON mode, the text otherwise (nothing for empty text).
  void Emit(const Json& object, const std::string& text);
  void Text(const std::string& text);

 private:
  std::ostream& out_;
  bool json_;
};

// A progress bar redrawn in place on a terminal, at most ten times a second; silent when
// disabled. The last draw is cleared when it ends.
class Progress {
 public:
  Progress(std::ostream& terminal, size_t total, bool enabled);
  ~Progress();
  void Step();
  // Takes the bar off the terminal, so that a line written next stands on its own; the next
  // draw puts it back.
  void Clear();

 private:
  void Draw();

  std::ostream& terminal_;
  size_t total_;
  size_t done_ = 0;
  bool enabled_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

// True when standard error is a terminal and the run is long enough to want a bar.
bool WantProgress(size_t messages);

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_OUTPUT_H_
