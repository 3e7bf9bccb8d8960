// The features that pushed a mail the history names, as `corvalith score --explain` gives
// them: the mail is read from the store where the history last saw it (mailbox, folder, item
// name), and the engine is asked as the filter asks it, registering nothing.
#ifndef CORVALITH_REPORT_STORED_MAIL_H_
#define CORVALITH_REPORT_STORED_MAIL_H_

#include <optional>
#include <string>

#include "classifier/explain.h"
#include "mailhost/mail_host.h"
#include "report/history_summary.h"

namespace corvalith::report {

// As many features each way as `score --explain` shows.
inline constexpr size_t kExplainedFeatures = 10;

// nullopt when the mail is no longer there (deleted, moved on, a mailbox removed), when the
// history names no place a mailbox can have, or when the engine cannot read the user's
// database: the mail is then listed without features.
std::optional<Explanation> ExplainStoredMail(host::MailHost& host,
                                             const std::string& data_directory,
                                             const FalsePositive& mail);

}  // namespace corvalith::report

#endif  // CORVALITH_REPORT_STORED_MAIL_H_
