#include "mailhost/training_sources.h"

#include <cerrno>
#include <vector>

#include "logging/control_characters.h"
#include "mailbox_ops/filter_operations.h"
#include "mailhost/mbox_reader.h"
#include "platform/mail_header.h"
#include "store/message_import.h"

namespace corvalith::host {

namespace {

const std::string kTooLarge = "larger than " + std::to_string(kMaxTrainedMailBytes >> 20) + " MiB";

TrainingMail Skipped(std::string origin, std::string why) {
  return TrainingMail{std::move(origin), std::nullopt, std::move(why)};
}

// A field name as RFC 5322 has it: printable ASCII without blanks and colons.
bool IsFieldName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

// A message read from a file, as it would be delivered. Anything that does not begin with a
// header field (a note, a picture, an empty file) is no mail and would teach nonsense.
TrainingMail FromFile(std::string origin, const std::string& raw) {
  if (raw.empty()) return Skipped(std::move(origin), "empty");
  const std::string_view header = store::HeaderBlock(raw);
  MailHeaderReader fields(header);
  std::optional<MailHeaderField> first = fields.Next();
  if (!first || first->name.data() != header.data() || !IsFieldName(first->name)) {
    return Skipped(std::move(origin), "no mail header");
  }
  return TrainingMail{std::move(origin), AsDelivered(raw), ""};
}

std::string ReadFailure(const Failure& failure) {
  return failure.number() == EFBIG ? kTooLarge : "cannot read: " + failure.description();
}

class StoreFolder final : public TrainingSource {
 public:
  StoreFolder(store::Store& store, const std::string& folder_url)
      : store_(store), items_(store.Items(folder_url)) {}

  size_t size() const override { return items_.size(); }

  TrainingMail Read(size_t i) override {
    const store::Store::ItemInfo& item = items_[i];
    if (static_cast<uint64_t>(item.size) > kMaxTrainedMailBytes) {
      return Skipped(item.url, kTooLarge);
    }
    try {
      // A connection keeps what it has read (the Maildir store the content): a fresh one now
      // and then holds a large folder's reading to a few items.
      constexpr size_t kItemsPerConnection = 64;
      if (!connection_ || i % kItemsPerConnection == 0) connection_ = store_.Connect();
      std::unique_ptr<store::Record> record =
          connection_->OpenRecord(item.url, store::adModeRead, store::adFailIfNotExists,
                                  store::adOpenRecordUnspecified, "", "");
      return TrainingMail{item.url, EngineInput{GetMailHeader(*record), GetMailBody(*record)}, ""};
    } catch (const Failure& failure) {
      // Deleted by its user since the folder was listed, or unreadable.
      return Skipped(item.url, "cannot read: " + failure.description());
    }
  }

 private:
  store::Store& store_;
  std::vector<store::Store::ItemInfo> items_;
  std::unique_ptr<store::Connection> connection_;
};

class MaildirDirectory final : public TrainingSource {
 public:
  MaildirDirectory(FileSystem& files, const std::string& directory) : files_(files) {
    for (const char* sub : {"cur", "new"}) {
      const std::string folder = directory + "/" + sub;
      if (files_.KindOf(folder) != FileKind::kDirectory) continue;
      for (const std::string& name : files_.ListDirectory(folder)) {
        if (!name.starts_with(".")) paths_.push_back(folder + "/" + name);
      }
    }
    cur_ = directory + "/cur";
  }

  size_t size() const override { return paths_.size(); }

  TrainingMail Read(size_t i) override {
    const std::string& path = paths_[i];
    try {
      return FromFile(path, files_.ReadFile(path, kMaxTrainedMailBytes));
    } catch (const Failure& failure) {
      if (failure.number() != ENOENT) return Skipped(path, ReadFailure(failure));
      // A mail server that marks a mail seen renames its file, out of new/ into cur/ or
      // within cur/, keeping the part of the name before ':'.
      std::optional<std::string> renamed = Renamed(path);
      if (!renamed) return Skipped(path, ReadFailure(failure));
      try {
        return FromFile(path, files_.ReadFile(*renamed, kMaxTrainedMailBytes));
      } catch (const Failure& again) {
        return Skipped(path, ReadFailure(again));
      }
    }
  }

 private:
  std::optional<std::string> Renamed(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string unique = name.substr(0, name.find(':'));
    try {
      for (const std::string& other : files_.ListDirectory(cur_)) {
        if (other != name && other.substr(0, other.find(':')) == unique) {
          return cur_ + "/" + other;
        }
      }
    } catch (const Failure&) {
      // No cur/ to look in: the file is gone.
    }
    return std::nullopt;
  }

  FileSystem& files_;
  std::vector<std::string> paths_;
  std::string cur_;
};

class MboxFile final : public TrainingSource {
 public:
  explicit MboxFile(const std::string& path) : reader_(path) {}

  size_t size() const override { return reader_.entries().size(); }

  TrainingMail Read(size_t i) override {
    std::string origin = reader_.path() + "#" + std::to_string(i + 1);
    try {
      return FromFile(std::move(origin), reader_.Read(reader_.entries()[i], kMaxTrainedMailBytes));
    } catch (const Failure& failure) {
      return Skipped(std::move(origin), ReadFailure(failure));
    }
  }

 private:
  MboxReader reader_;
};

}  // namespace

std::unique_ptr<TrainingSource> OpenTrainingSource(MailHost& host, FileSystem& files,
                                                   const MailboxAddress& mailbox,
                                                   const std::string& folder) {
  const std::string shown = "'" + EscapeControlCharacters(folder) + "'";
  if (!folder.starts_with("/") && !folder.starts_with(".")) {
    try {
      return std::make_unique<StoreFolder>(host.store(), host.ResolveFolder(mailbox, folder));
    } catch (const UnknownMailbox&) {
      // Not a folder of the mailbox: a path, then.
    }
  }
  switch (files.KindOf(folder)) {
    case FileKind::kDirectory:
      if (files.KindOf(folder + "/cur") != FileKind::kDirectory &&
          files.KindOf(folder + "/new") != FileKind::kDirectory) {
        throw NoTrainingSource(shown +
                               " is a directory but no Maildir: it has neither cur/ nor new/");
      }
      return std::make_unique<MaildirDirectory>(files, folder);
    case FileKind::kFile:
      try {
        return std::make_unique<MboxFile>(folder);
      } catch (const Failure& failure) {
        if (failure.permanent()) {
          throw NoTrainingSource(EscapeControlCharacters(failure.description()));
        }
        throw;
      }
    case FileKind::kOther:
      throw NoTrainingSource(shown + " is neither a folder, a Maildir nor an mbox file");
    case FileKind::kMissing:
      break;
  }
  throw NoTrainingSource("no folder " + shown + " in the mailbox " + mailbox.Text() +
                         ", and no Maildir or mbox file of that name");
}

}  // namespace corvalith::host
