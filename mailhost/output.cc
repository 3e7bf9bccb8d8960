#include "mailhost/output.h"

#include <unistd.h>

#include <cstdio>

#include "mailbox_ops/filter_operations.h"

namespace corvalith::host {

std::string MarkerName(int32_t marker) {
  switch (marker) {
    case kMarkerNone:
      return "none";
    case kMarkerHam:
      return "ham";
    case kMarkerSpam:
      return "spam";
    default:
      return std::to_string(marker);
  }
}

std::string Column(std::string text, size_t width) {
  for (char& ch : text) {
    if (ch == '\r' || ch == '\n' || ch == '\t') ch = ' ';
  }
  if (text.size() > width) text = text.substr(0, width - 3) + "...";
  text.resize(width, ' ');
  return text;
}

Json StateJson(const ItemState& state) {
  return Json{{"ok", true}, {"url", state.url}, {"marker", state.marker}, {"hidden", state.hidden}};
}

std::string MarkerText(int32_t marker) {
  std::string text = MarkerName(marker);
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string StateText(const ItemState& state) {
  std::string marker = MarkerText(state.marker);
  marker.resize(std::max<size_t>(marker.size(), 5), ' ');
  return marker + " " + state.url + (state.hidden ? "  (hidden)" : "");
}

void Output::Emit(const Json& object, const std::string& text) {
  if (json_) {
    // Invalid UTF-8 in a message's subject must not end the run.
    out_ << object.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
  } else if (!text.empty()) {
    out_ << text << '\n';
  }
  out_.flush();
}

void Output::Text(const std::string& text) {
  if (!json_) {
    out_ << text << '\n';
    out_.flush();
  }
}

bool WantProgress(size_t messages) { return messages > 5 && isatty(STDERR_FILENO) == 1; }

Progress::Progress(std::ostream& terminal, size_t total, bool enabled)
    : terminal_(terminal),
      total_(total),
      enabled_(enabled),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

Progress::~Progress() {
  if (enabled_) {
    Draw();
    Clear();
  }
}

void Progress::Step() {
  ++done_;
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ >= std::chrono::milliseconds(100) || done_ == total_) {
    last_draw_ = now;
    Draw();
  }
}

void Progress::Clear() {
  if (!enabled_) return;
  terminal_ << "\r\033[K";
  terminal_.flush();
}

void Progress::Draw() {
  constexpr int kWidth = 30;
  int filled = total_ == 0 ? kWidth : static_cast<int>(kWidth * done_ / total_);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  char line[160];
  std::snprintf(line, sizeof line, "\r[%s%s] %zu/%zu  %.0f msg/s", std::string(filled, '#').c_str(),
                std::string(kWidth - filled, '.').c_str(), done_, total_,
                seconds > 0 ? done_ / seconds : 0.0);
  terminal_ << line;
  terminal_.flush();
}

}  // namespace corvalith::host
