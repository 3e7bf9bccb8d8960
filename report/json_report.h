// The report as one JSON object, for `corvalith --json report`: the same figures as the text,
// for a script or a monitoring system to read.
//   {"first_day","today","days":[{"day","spam","ham","none","forced","false_positives",
//    "false_negatives","error_rate"}],"domains":[{"name","mails","spam","corrections",
//    "trusted_senders"}],"users":[…],"databases":[{"name","path","exists","ham","spam","bytes",
//    "problem"}],"false_positives":[{"time","mailbox","folder","item","sender","subject",
//    "score","explanation"}]}
// A rate or score that is not there is null; "explanation" is null for a mail no longer in the
// store, else {"score","towards_spam":[{"feature","weight"}],"towards_ham":[…]}.
#ifndef CORVALITH_REPORT_JSON_REPORT_H_
#define CORVALITH_REPORT_JSON_REPORT_H_

#include "mailhost/output.h"
#include "report/report.h"

namespace corvalith::report {

host::Json ReportJson(const Report& report);

}  // namespace corvalith::report

#endif  // CORVALITH_REPORT_JSON_REPORT_H_
