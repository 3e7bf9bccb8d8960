// What the filter has learned, file by file: the site model (or one per domain, as the engine's
// SiteModel setting says) and each mailbox's own database, with the mails trained as ham and
// as spam and the file's size. Only reads: a database that is not there yet is listed as
// such, never created.
#ifndef CORVALITH_REPORT_FILTER_DATABASES_H_
#define CORVALITH_REPORT_FILTER_DATABASES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "mailhost/mail_host.h"

namespace corvalith::report {

struct DatabaseFigures {
  std::string name;  // "site model", "site model of DOMAIN", or the mailbox
  std::string path;
  bool exists = false;
  int64_t ham = 0, spam = 0;  // mails trained
  int64_t bytes = 0;
  std::string problem;  // why the file could not be read; empty when it could
};

// The site models first, then the mailboxes of the store in their order. Throws Failure when
// the store cannot list its mailboxes; a database that cannot be read only says so.
std::vector<DatabaseFigures> ReadFilterDatabases(host::MailHost& host,
                                                 const std::string& data_directory);

}  // namespace corvalith::report

#endif  // CORVALITH_REPORT_FILTER_DATABASES_H_
