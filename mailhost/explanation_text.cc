#include "mailhost/explanation_text.h"

#include <cstdio>

#include "logging/control_characters.h"

namespace corvalith::host {

namespace {

std::string ContributionsText(const char* heading,
                              const std::vector<FeatureContribution>& contributions) {
  std::string text = std::string("\n  ") + heading + (contributions.empty() ? ": none" : ":");
  for (const FeatureContribution& c : contributions) {
    text += "\n    " + FormatNumber(c.total(), "%+7.3f") + "  " + EscapeControlCharacters(c.name);
  }
  return text;
}

}  // namespace

std::string FormatNumber(double value, const char* format) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string ExplanationText(const Explanation& e) {
  std::string text = "\n  weights: user " + FormatNumber(e.user_score, "%+.3f") + ", site " +
                     FormatNumber(e.site_score, "%+.3f") + "; counts " +
                     FormatNumber(e.counting_score, "%+.3f") + " (spam above " +
                     FormatNumber(e.threshold, "%.3f") + ")";
  if (e.site_model.empty()) {
    text += e.site_failure.empty()
                ? "\n  no site model"
                : "\n  site model left out: " + EscapeControlCharacters(e.site_failure);
  }
  text += ContributionsText("towards spam", e.towards_spam);
  text += ContributionsText("towards ham", e.towards_ham);
  return text;
}

}  // namespace corvalith::host
