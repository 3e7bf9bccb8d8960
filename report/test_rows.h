// Rows of a verdict history as the recorder writes them, for the report's tests.
#ifndef CORVALITH_REPORT_TEST_ROWS_H_
#define CORVALITH_REPORT_TEST_ROWS_H_

#include <string>

#include "history/verdict_history.h"

namespace corvalith::report::testing {

// A delivery into the Inbox (ham) or the junk folder (spam) at `time`.
inline history::VerdictRow Delivery(int64_t time, const std::string& mailbox,
                                    const std::string& verdict) {
  history::VerdictRow row;
  row.time = time;
  row.mailbox = mailbox;
  row.domain = mailbox.substr(mailbox.find('@') + 1);
  row.folder = verdict == "spam" ? "Junk E-mail" : "Inbox";
  row.item = "M-" + std::to_string(time) + ".EML";
  row.sender = "someone@sender.example";
  row.subject = "a subject";
  row.event = history::kEventDelivery;
  row.verdict = verdict;
  row.marker = verdict == "spam" ? 2 : verdict == "ham" ? 1 : 0;
  row.reason = verdict == "none" ? "untouched" : "parsed";
  row.moved = verdict == "spam";
  if (verdict != "none") row.score = verdict == "spam" ? 0.9 : 0.1;
  return row;
}

// A delivery forced to ham because `sender` is on a whitelist.
inline history::VerdictRow Trusted(int64_t time, const std::string& mailbox,
                                   const std::string& sender) {
  history::VerdictRow row = Delivery(time, mailbox, "ham");
  row.sender = sender;
  row.reason = "forced";
  row.trusted = "WL";
  row.score.reset();
  return row;
}

// A user's move out of the junk folder (a false positive) or into it (a false negative).
inline history::VerdictRow Correction(int64_t time, const std::string& mailbox,
                                      const char* correction) {
  const bool rescued = std::string(correction) == history::kFalsePositive;
  history::VerdictRow row = Delivery(time, mailbox, rescued ? "ham" : "spam");
  row.event = history::kEventMove;
  row.folder = rescued ? "Inbox" : "Junk E-mail";
  row.reason = "swapped";
  row.moved = false;
  row.earlier_verdict = rescued ? "spam" : "ham";
  row.correction = correction;
  return row;
}

}  // namespace corvalith::report::testing

#endif  // CORVALITH_REPORT_TEST_ROWS_H_
