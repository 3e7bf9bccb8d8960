// Mailboxes and their mail: creating, removing and listing mailboxes, delivering and moving mail,
// and looking at what the filter did.
#include <sysexits.h>

#include <cerrno>
#include <optional>

#include "cli/command.h"
#include "config/constructor_string.h"
#include "history/verdict_history.h"
#include "mailhost/filter_health.h"
#include "mailhost/mail_host.h"
#include "mailhost/message_source.h"
#include "mailhost/training_record.h"
#include "platform/text.h"
#include "store/message_import.h"

namespace corvalith::host {

namespace {

// Adds the mailbox, or brings back the one a removal kept, with its mail.
void AddMailbox(Context& c, MailHost& host, MailboxAddress mailbox) {
  bool restored = false;
  if (!host.FindMailbox(mailbox)) {
    if (std::optional<MailboxAddress> removed = host.FindRemovedMailbox(mailbox)) {
      mailbox = *removed;
      host.store().RestoreMailbox(mailbox.RootUrl());
      restored = true;
    }
  }
  // For a restored mailbox: creates the standard folders it may lack.
  const bool created = host.AddMailbox(mailbox) || restored;
  CreateMissingWhiteLists(c.files, DataDirectoryFromConstructString(c.construct_string), mailbox);
  std::string verb = restored  ? "restored with its kept mail: "
                     : created ? "added "
                               : "exists already: ";
  c.output.Emit(Json{{"ok", true},
                     {"mailbox", mailbox.Text()},
                     {"url", mailbox.RootUrl()},
                     {"created", created},
                     {"restored", restored}},
                verb + mailbox.Text() + "  " + mailbox.RootUrl());
}

// The paths that exist.
std::vector<std::string> Existing(FileSystem& files, std::vector<std::string> paths) {
  std::erase_if(paths, [&](const std::string& path) { return !files.Exists(path); });
  return paths;
}

// Takes the mailbox out of the mailboxes; its mail and the filter's data of the user stay.
void RemoveMailbox(Context& c, MailHost& host, const MailboxAddress& address) {
  const MailboxAddress mailbox = host.RequireMailbox(address);
  // Dovecot makes a Maildir anew for a user it still knows: one removal's mail may be kept
  // when the mailbox is removed again.
  if (host.FindRemovedMailbox(mailbox) == mailbox) {
    throw Failure::Permanent("the mail of an earlier removal of " + mailbox.Text() +
                                 " is kept already: move it away first, or delete both with "
                                 "`corvalith mailbox remove --purge " +
                                 mailbox.Text() + "`",
                             E_INVALIDARG);
  }
  const std::string kept = host.store().SetMailboxAside(mailbox.RootUrl());
  const std::vector<std::string> filter_files = Existing(
      c.files, UserFilterFiles(DataDirectoryFromConstructString(c.construct_string), mailbox));
  std::string text = "removed " + mailbox.Text() + "\n  its mail is kept in " + kept;
  for (const std::string& path : filter_files) text += "\n  kept " + path;
  text += "\n  `corvalith mailbox add " + mailbox.Text() +
          "` brings it back; `corvalith mailbox remove --purge " + mailbox.Text() + "` deletes it";
  c.output.Emit(Json{{"ok", true},
                     {"mailbox", mailbox.Text()},
                     {"removed", true},
                     {"purged", false},
                     {"kept_mail", kept},
                     {"kept_files", filter_files}},
                text);
}

// Deletes the mailbox, or the one a removal kept, with its mail and the filter's data of the
// user: model, whitelist, what train taught it and its verdict history.
void PurgeMailbox(Context& c, MailHost& host, const MailboxAddress& address) {
  std::optional<MailboxAddress> mailbox = host.FindMailbox(address);
  if (!mailbox) mailbox = host.FindRemovedMailbox(address);
  if (!mailbox) {
    throw UnknownMailbox("unknown mailbox " + address.Text() +
                         " (neither a mailbox nor one that a removal kept)");
  }
  host.store().DeleteMailbox(mailbox->RootUrl());
  std::vector<std::string> deleted;
  for (const std::string& path :
       UserFilterFiles(DataDirectoryFromConstructString(c.construct_string), *mailbox)) {
    if (c.files.DeleteFile(path)) {
      deleted.push_back(path);
    } else if (c.files.LastError() != ENOENT) {
      throw Failure::FromErrno("cannot delete " + path, c.files.LastError());
    }
  }
  const bool trained = c.files.Exists(c.home.TrainingRecordPath());
  if (trained) {
    TrainingRecord record(c.home.TrainingRecordPath(), *mailbox, TrainingRecord::Mode::kWrite);
    record.ForgetAll();
    record.Flush();
  }
  // The history holds the user's addresses and subjects: they go with the mail.
  const bool recorded = c.files.Exists(c.home.HistoryPath());
  if (recorded)
    history::VerdictHistory::OpenForWriting(c.home.HistoryPath())->Forget(mailbox->Text());
  std::string text = "purged " + mailbox->Text() + ": its mail is deleted";
  for (const std::string& path : deleted) text += "\n  deleted " + path;
  if (trained) text += "\n  forgot what train taught it in " + c.home.TrainingRecordPath();
  if (recorded) text += "\n  forgot its verdict history in " + c.home.HistoryPath();
  c.output.Emit(Json{{"ok", true},
                     {"mailbox", mailbox->Text()},
                     {"removed", true},
                     {"purged", true},
                     {"deleted_files", deleted}},
                text);
}

}  // namespace

int RunMailbox(Context& c) {
  if (c.line.positional.empty()) throw UsageError{"mailbox needs add, remove or list"};
  std::string what = c.line.positional[0];
  MailHost host(c.home, c.construct_string);
  if (what != "remove" && c.line.Has("--purge")) throw UsageError{"--purge is for mailbox remove"};
  if (what == "add") {
    ExpectPositional(c.line, c.command, 2, 2);
    AddMailbox(c, host, ParseMailboxAddress(c.line.positional[1]));
    return kExitOk;
  }
  if (what == "remove") {
    ExpectPositional(c.line, c.command, 2, 2);
    const MailboxAddress address = ParseMailboxAddress(c.line.positional[1]);
    if (c.line.Has("--purge")) {
      PurgeMailbox(c, host, address);
    } else {
      RemoveMailbox(c, host, address);
    }
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
  throw UsageError{"unknown mailbox command '" + what + "' (add, remove or list)"};
}

namespace {

// The sysexits code of a failure of a command the mail server runs, by its kind: "try again
// later" for a temporary one (the store, the filter, a lock held too long), so that no mail is
// lost; for a permanent one, no such user for an unknown mailbox or folder and `bad_input` for
// any other failure of the caller's making.
int MailServerStatus(const Failure& failure, int bad_input) {
  if (!failure.permanent()) return EX_TEMPFAIL;
  return dynamic_cast<const UnknownMailbox*>(&failure) != nullptr ? EX_NOUSER : bad_input;
}

// Runs one step of such a command; its failure ends the command with its sysexits code.
template <typename Step>
auto MailServerStep(int bad_input, Step step) -> decltype(step()) {
  try {
    return step();
  } catch (const Failure& failure) {
    throw ExitFailure(failure, MailServerStatus(failure, bad_input));
  }
}

// The messages the arguments name; any failure to read them is EX_NOINPUT.
std::vector<SourceMessage> ReadInput(Context& c, const std::vector<std::string>& arguments) {
  try {
    std::vector<SourceMessage> messages;
    for (const std::string& argument : arguments) {
      std::vector<SourceMessage> more = ReadMessages(c.files, argument, c.in);
      for (SourceMessage& m : more) messages.push_back(std::move(m));
    }
    return messages;
  } catch (const Failure& failure) {
    throw ExitFailure(failure, EX_NOINPUT);
  }
}

}  // namespace

int RunDeliver(Context& c) {
  if (c.line.positional.size() < 2) throw UsageError{"usage: " + std::string(c.command.usage)};
  MailboxAddress mailbox =
      MailServerStep(EX_USAGE, [&] { return ParseMailboxAddress(c.line.positional[0]); });
  std::string folder = c.line.Has("--folder") ? c.line.Option("--folder") : store::kInboxFolder;
  // A mail server names the authenticated sender of a submission; an empty name is mail from
  // outside.
  bool internal = c.line.Has("--internal") || !c.line.Option("--sasl-user").empty();
  MailHost host(c.home, c.construct_string);
  // Bad arguments fail the command before any mail is delivered.
  mailbox = MailServerStep(EX_USAGE, [&] { return host.RequireMailbox(mailbox); });
  MailServerStep(EX_USAGE, [&] { return host.ResolveFolder(mailbox, folder); });
  std::vector<SourceMessage> messages = ReadInput(
      c, std::vector<std::string>(c.line.positional.begin() + 1, c.line.positional.end()));

  int status = kExitOk;
  Progress progress(c.err, messages.size(), WantProgress(messages.size()));
  for (const SourceMessage& message : messages) {
    try {
      ItemState state = host.Deliver(mailbox, folder, message.raw, internal);
      Json answer = StateJson(state);
      answer["source"] = message.origin;
      c.output.Emit(answer, StateText(state) + "  <- " + message.origin);
    } catch (const Failure& failure) {
      // The first failure decides the exit status; the other messages are delivered all the same.
      if (status == kExitOk) status = MailServerStatus(failure, EX_DATAERR);
      c.output.Emit(
          Json{{"ok", false}, {"source", message.origin}, {"error", failure.description()}}, "");
      c.err << "corvalith: " << message.origin << ": " << failure.description() << "\n";
    }
    progress.Step();
  }
  return status;
}

int RunMove(Context& c) {
  ExpectPositional(c.line, c.command, 2, 2);
  MailHost host(c.home, c.construct_string);
  ItemState state = host.Move(c.line.positional[0], c.line.positional[1]);
  c.output.Emit(StateJson(state), StateText(state));
  return kExitOk;
}

namespace {

// Whether the special-use flags the mail server gives a folder (IMAP's \Trash, \Junk, …; a
// blank between two, any case) make it the wastebasket.
bool IsWasteBasket(const std::string& special_use) {
  for (const std::string& flag : SplitText(special_use, ' ')) {
    if (EqualsIgnoringCase(flag, "\\Trash")) return true;
  }
  return false;
}

// The filter leaves alone what the user moves into the mailbox's Deleted Items folder (the
// root's property): the server's wastebasket becomes that folder, under whatever name.
void MakeWasteBasket(store::Store& store, const MailboxAddress& mailbox,
                     const std::string& folder_url) {
  const Variant folder = Variant::String(folder_url);
  if (store.Property(mailbox.RootUrl(), store::kDeletedItemsProperty) == folder) return;
  store.PutItem(mailbox.RootUrl(), {{store::kDeletedItemsProperty, folder}});
}

}  // namespace

int RunMoved(Context& c) {
  ExpectPositional(c.line, c.command, 2, 2);
  MailboxAddress mailbox =
      MailServerStep(EX_USAGE, [&] { return ParseMailboxAddress(c.line.positional[0]); });
  MailHost host(c.home, c.construct_string);
  mailbox = MailServerStep(EX_USAGE, [&] { return host.RequireMailbox(mailbox); });
  std::string folder_url =
      MailServerStep(EX_USAGE, [&] { return host.ResolveFolder(mailbox, c.line.positional[1]); });
  std::vector<SourceMessage> messages = ReadInput(c, {"-"});
  std::optional<std::string> url =
      MailServerStep(EX_DATAERR, [&] { return host.FindMessage(folder_url, messages[0].raw); });
  if (!url) {
    throw ExitFailure(
        Failure::Permanent("no item of " + folder_url + " holds the message", E_INVALIDARG),
        EX_DATAERR);
  }
  if (IsWasteBasket(c.line.Option("--special-use"))) {
    MailServerStep(EX_DATAERR, [&] { MakeWasteBasket(host.store(), mailbox, folder_url); });
  }
  ItemState state = MailServerStep(EX_DATAERR, [&] { return host.MovedByUser(*url); });
  c.output.Emit(StateJson(state), StateText(state));
  return kExitOk;
}

int RunLs(Context& c) {
  ExpectPositional(c.line, c.command, 1, 2);
  MailboxAddress mailbox = ParseMailboxAddress(c.line.positional[0]);
  MailHost host(c.home, c.construct_string);
  mailbox = host.RequireMailbox(mailbox);
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
    mailbox = host.RequireMailbox(mailbox);
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
  Json answer{{"ok", true},
              {"mailbox", mailbox.Text()},
              {"database", stats.database},
              {"ham", stats.ham},
              {"spam", stats.spam},
              {"whitelist", stats.user_entries},
              {"domain_whitelist", stats.domain_entries}};
  // Counts that stand still say nothing of why: a filter that cannot work says it here.
  const FilterHealth health =
      CheckFilterHealth(DataDirectoryFromConstructString(c.construct_string), mailbox);
  for (const std::string& line : health.Lines()) text += "\n  " + line;
  health.AddTo(&answer);
  c.output.Emit(answer, text);
  return kExitOk;
}

}  // namespace corvalith::host
