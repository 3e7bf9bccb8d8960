#include "report/json_report.h"

namespace corvalith::report {

namespace {

using host::Json;

Json Optional(const std::optional<double>& value) { return value ? Json(*value) : Json(nullptr); }

Json Names(const std::vector<MailboxCounts>& list) {
  Json names = Json::array();
  for (const MailboxCounts& m : list) {
    names.push_back(Json{{"name", m.name},
                         {"mails", m.mails},
                         {"spam", m.spam},
                         {"corrections", m.corrections},
                         {"trusted_senders", m.trusted_senders}});
  }
  return names;
}

Json Features(const std::vector<FeatureContribution>& features) {
  Json list = Json::array();
  for (const FeatureContribution& f : features) {
    list.push_back(Json{{"feature", f.name}, {"weight", f.total()}});
  }
  return list;
}

}  // namespace

Json ReportJson(const Report& report) {
  const HistorySummary& history = report.history;
  Json days = Json::array();
  for (const DayCounts& d : history.days) {
    days.push_back(Json{{"day", DayText(d.day)},
                        {"spam", d.spam},
                        {"ham", d.ham},
                        {"none", d.none},
                        {"forced", d.forced},
                        {"false_positives", d.false_positives},
                        {"false_negatives", d.false_negatives},
                        {"error_rate", Optional(d.ErrorRate())}});
  }
  Json databases = Json::array();
  for (const DatabaseFigures& d : report.databases) {
    databases.push_back(Json{{"name", d.name},
                             {"path", d.path},
                             {"exists", d.exists},
                             {"ham", d.ham},
                             {"spam", d.spam},
                             {"bytes", d.bytes},
                             {"problem", d.problem}});
  }
  Json mails = Json::array();
  for (size_t i = 0; i < history.latest_false_positives.size(); ++i) {
    const FalsePositive& m = history.latest_false_positives[i];
    const std::optional<Explanation>& e = report.explanations[i];
    mails.push_back(Json{{"time", TimeText(m.time)},
                         {"mailbox", m.mailbox},
                         {"folder", m.folder},
                         {"item", m.item},
                         {"sender", m.sender},
                         {"subject", m.subject},
                         {"score", Optional(m.score)},
                         {"explanation", e ? Json{{"score", e->spam_probability},
                                                  {"towards_spam", Features(e->towards_spam)},
                                                  {"towards_ham", Features(e->towards_ham)}}
                                           : Json(nullptr)}});
  }
  return Json{{"first_day", DayText(history.first_day)},
              {"today", DayText(history.today)},
              {"days", days},
              {"domains", Names(history.domains)},
              {"users", Names(history.users)},
              {"databases", databases},
              {"false_positives", mails}};
}

}  // namespace corvalith::report
