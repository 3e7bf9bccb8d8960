#include "report/filter_databases.h"

#include <filesystem>
#include <set>

#include "classifier/engine_settings.h"
#include "classifier/site_model.h"
#include "provisioning/data_layout.h"
#include "sink/server.h"

namespace corvalith::report {

namespace {

void ReadSize(DatabaseFigures* figures) {
  std::error_code error;
  const std::uintmax_t bytes = std::filesystem::file_size(figures->path, error);
  figures->exists = !error;
  figures->bytes = error ? 0 : static_cast<int64_t>(bytes);
}

DatabaseFigures SiteModelFigures(std::string name, const std::string& path) {
  DatabaseFigures figures;
  figures.name = std::move(name);
  figures.path = path;
  try {
    std::unique_ptr<SiteModel> site = SiteModel::Open(path, /*create=*/false);
    if (site != nullptr) {
      SiteModel::Lock lock(site.get(), /*exclusive=*/false);
      figures.ham = site->trained_mails(false);
      figures.spam = site->trained_mails(true);
    }
  } catch (const Failure& failure) {
    figures.problem = failure.description();
  }
  ReadSize(&figures);
  return figures;
}

DatabaseFigures UserFigures(const std::string& data_directory,
                            const host::MailboxAddress& mailbox) {
  DatabaseFigures figures;
  figures.name = mailbox.Text();
  figures.path = UserDataPath(data_directory, mailbox.domain, mailbox.user);
  try {
    const host::UserStatistics statistics = host::ReadUserStatistics(data_directory, mailbox);
    figures.ham = statistics.ham;
    figures.spam = statistics.spam;
  } catch (const Failure& failure) {
    figures.problem = failure.description();
  }
  ReadSize(&figures);
  return figures;
}

}  // namespace

std::vector<DatabaseFigures> ReadFilterDatabases(host::MailHost& host,
                                                 const std::string& data_directory) {
  const std::vector<host::MailboxAddress> mailboxes = host.Mailboxes();
  const SiteScope scope = ReadSiteScope(ServerEnvironment().registry());
  std::vector<DatabaseFigures> list;
  std::set<std::string> site_models;
  for (const host::MailboxAddress& mailbox : mailboxes) {
    const std::string path =
        SiteModelPath(UserDataPath(data_directory, mailbox.domain, mailbox.user), scope);
    if (path.empty() || !site_models.insert(path).second) continue;
    list.push_back(SiteModelFigures(
        scope == SiteScope::kDomain ? "site model of " + mailbox.domain : "site model", path));
  }
  for (const host::MailboxAddress& mailbox : mailboxes) {
    list.push_back(UserFigures(data_directory, mailbox));
  }
  return list;
}

}  // namespace corvalith::report
