// Mailboxes and their mail: creating and listing mailboxes, delivering and moving mail, and
// looking at what the filter did.
#include "config/constructor_string.h"
#include "host/command.h"
#include "host/mail_host.h"
#include "host/message_source.h"
#include "store/mailbox.h"

namespace corvalith::host {

int RunMailbox(Context& c) {
  if (c.line.positional.empty()) throw UsageError{"mailbox needs add or list"};
  std::string what = c.line.positional[0];
  MailHost host(c.home, c.construct_string);
  if (what == "add") {
    ExpectPositional(c.line, c.command, 2, 2);
    MailboxAddress mailbox = ParseMailboxAddress(c.line.positional[1]);
    bool created = host.AddMailbox(mailbox);
    c.output.Emit(
        Json{{"ok", true},
             {"mailbox", mailbox.Text()},
             {"url", mailbox.RootUrl()},
             {"created", created}},
        (created ? "added " : "exists already: ") + mailbox.Text() + "  " + mailbox.RootUrl());
    return kExitOk;
  }
  if (what == "list") {
    ExpectPositional(c.line, c.command, 1, 1);
    for (const MailboxAddress& mailbox : host.Mailboxes()) {
      c.output.Emit(Json{{"mailbox", mailbox.Text()}, {"url", mailbox.RootUrl()}},
                    mailbox.Text() + "  " + mailbox.RootUrl());
    }
    return kExitOk;
  }
  throw UsageError{"unknown mailbox command '" + what + "' (add or list)"};
}

int RunDeliver(Context& c) {
  if (c.line.positional.size() < 2) throw UsageError{"usage: " + std::string(c.command.usage)};
  MailboxAddress mailbox = ParseMailboxAddress(c.line.positional[0]);
  std::string folder = c.line.Has("--folder") ? c.line.Option("--folder") : store::kInboxFolder;
  bool internal = c.line.Has("--internal");
  MailHost host(c.home, c.construct_string);
  // Bad arguments fail the command before any mail is delivered.
  host.ResolveFolder(mailbox, folder);
  std::vector<SourceMessage> messages;
  for (size_t i = 1; i < c.line.positional.size(); ++i) {
    std::vector<SourceMessage> more = ReadMessages(c.files, c.line.positional[i], c.in);
    for (SourceMessage& m : more) messages.push_back(std::move(m));
  }

  int failures = 0;
  Progress progress(c.err, messages.size(), WantProgress(messages.size()));
  for (const SourceMessage& message : messages) {
    try {
      ItemState state = host.Deliver(mailbox, folder, message.raw, internal);
      Json answer = StateJson(state);
      answer["source"] = message.origin;
      c.output.Emit(answer, StateText(state) + "  <- " + message.origin);
    } catch (const Failure& failure) {
      ++failures;
      c.output.Emit(
          Json{{"ok", false}, {"source", message.origin}, {"error", failure.description()}}, "");
      c.err << "corvalith: " << message.origin << ": " << failure.description() << "\n";
    }
    progress.Step();
  }
  return failures == 0 ? kExitOk : kExitFailed;
}

int RunMove(Context& c) {
  ExpectPositional(c.line, c.command, 2, 2);
  MailHost host(c.home, c.construct_string);
  ItemState state = host.Move(c.line.positional[0], c.line.positional[1]);
  c.output.Emit(StateJson(state), StateText(state));
  return kExitOk;
}

int RunLs(Context& c) {
  ExpectPositional(c.line, c.command, 1, 2);
  MailboxAddress mailbox = ParseMailboxAddress(c.line.positional[0]);
  MailHost host(c.home, c.construct_string);
  host.RequireMailbox(mailbox);
  if (c.line.positional.size() == 1) {
    for (const FolderSummary& folder : host.Folders(mailbox)) {
      c.output.Emit(Json{{"folder", folder.path}, {"url", folder.url}, {"items", folder.items}},
                    Column(folder.path, 30) + " " + std::to_string(folder.items));
    }
    return kExitOk;
  }
  for (const ItemSummary& item : host.Items(mailbox, c.line.positional[1])) {
    std::string marker = MarkerName(item.marker);
    c.output.Emit(Json{{"url", item.url},
                       {"subject", item.subject},
                       {"from", item.from},
                       {"marker", item.marker},
                       {"hidden", item.hidden}},
                  Column(marker + (item.hidden ? "/hidden" : ""), 12) + " " +
                      Column(item.subject, 36) + " " + Column(item.from, 30) + " " + item.url);
  }
  return kExitOk;
}

int RunShow(Context& c) {
  ExpectPositional(c.line, c.command, 1, 1);
  MailHost host(c.home, c.construct_string);
  const std::string& url = c.line.positional[0];
  std::vector<std::pair<std::string, std::string>> properties = host.Properties(url);
  std::string header = host.HeaderBlock(url);
  Json object{{"url", url}};
  Json fields = Json::object();
  std::string text = url + "\n";
  for (const auto& [name, value] : properties) {
    fields[name] = value;
    text += "  " + name + ": " + value + "\n";
  }
  object["properties"] = fields;
  object["header"] = header;
  text += "\n" + header;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  c.output.Emit(object, text);
  return kExitOk;
}

int RunStats(Context& c) {
  ExpectPositional(c.line, c.command, 1, 1);
  MailboxAddress mailbox = ParseMailboxAddress(c.line.positional[0]);
  {
    MailHost host(c.home, c.construct_string);
    host.RequireMailbox(mailbox);
  }
  UserStatistics stats =
      ReadUserStatistics(DataDirectoryFromConstructString(c.construct_string), mailbox);
  std::string text = mailbox.Text() + "  (" + stats.database + ")\n";
  text += "  HAM " + std::to_string(stats.ham) + "  SPAM " + std::to_string(stats.spam) + "\n";
  text += "  user whitelist " + stats.user_list + ": " + std::to_string(stats.user_entries.size()) +
          " entries\n";
  for (const std::string& entry : stats.user_entries) text += "    " + entry + "\n";
  text += "  domain whitelist " + stats.domain_list + ": " +
          std::to_string(stats.domain_entries.size()) + " entries";
  for (const std::string& entry : stats.domain_entries) text += "\n    " + entry;
  c.output.Emit(Json{{"ok", true},
                     {"mailbox", mailbox.Text()},
                     {"database", stats.database},
                     {"ham", stats.ham},
                     {"spam", stats.spam},
                     {"whitelist", stats.user_entries},
                     {"domain_whitelist", stats.domain_entries}},
                text);
  return kExitOk;
}

}  // namespace corvalith::host
