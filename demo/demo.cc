#include "demo/demo.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "engine/classifier_engine.h"
#include "logging/log_file.h"
#include "mailbox_ops/filter_operations.h"
#include "mailhost/home.h"
#include "mailhost/mail_host.h"
#include "mailhost/output.h"
#include "platform/failure.h"
#include "platform/text_reader.h"
#include "provisioning/data_layout.h"
#include "sink/server.h"
#include "store/message_import.h"

namespace corvalith::host {

namespace {

constexpr const char* kJunkFolder = store::kJunkMailFolder;
constexpr const char* kInbox = store::kInboxFolder;
// The demo's log stays small; the bound only keeps a runaway file from filling memory.
constexpr size_t kMaxLogBytes = size_t{64} << 20;

// The records the filter appended to its log since the last call, without their time and
// tick count. Records end in CR LF; a details block would span lines, which the demo's
// DebugLevel 1 never writes.
class LogFollower {
 public:
  LogFollower(FileSystem& files, std::string path) : files_(files), path_(std::move(path)) {}

  std::vector<std::string> NewRecords() {
    std::string bytes = Read();
    std::vector<std::string> records;
    if (bytes.size() <= offset_) return records;
    size_t at = offset_;
    offset_ = bytes.size();
    while (at < bytes.size()) {
      size_t end = bytes.find("\r\n", at);
      if (end == std::string::npos) end = bytes.size();
      records.push_back(WithoutStamp(bytes.substr(at, end - at)));
      at = end + 2;
    }
    return records;
  }

  // The last `count` records, as written.
  std::vector<std::string> Tail(size_t count) const {
    std::vector<std::string> lines;
    TextReader reader(Read());
    while (std::optional<std::string> line = reader.ReadLine()) lines.push_back(*line);
    if (lines.size() > count) lines.erase(lines.begin(), lines.end() - count);
    return lines;
  }

 private:
  // "" while the filter has written no record.
  std::string Read() const {
    return files_.KindOf(path_) == FileKind::kFile ? files_.ReadFile(path_, kMaxLogBytes) : "";
  }

  // "YYYY-MM-DD HH:MM:SS <ticks> <text>"
  static std::string WithoutStamp(const std::string& record) {
    size_t at = 0;
    for (int field = 0; field < 3 && at != std::string::npos; ++field) {
      at = record.find(' ', at);
      if (at != std::string::npos) ++at;
    }
    return at == std::string::npos ? record : record.substr(at);
  }

  FileSystem& files_;
  std::string path_;
  size_t offset_ = 0;
};

std::string SubjectOf(const std::string& raw) {
  size_t at = raw.find("\nSubject: ");
  if (at == std::string::npos) return "";
  at += 10;
  return raw.substr(at, raw.find('\n', at) - at);
}

std::string FolderOf(const std::string& url) { return ParseItemUrl(url).folder_path; }

struct Tally {
  int delivered = 0;
  int ham = 0;
  int spam = 0;
  int trusted = 0;
  int mistakes = 0;
  int corrected = 0;
};

// One delivery with what the filter said about it.
struct Delivered {
  const DemoMessage* message;
  ItemState state;
  std::string summary;  // the filter's "New Mail ..." record
  bool Mistaken() const { return (state.marker == kMarkerSpam) != message->spam; }
};

class Tour {
 public:
  Tour(FileSystem& files, const Home& home, std::ostream& out)
      : files_(files),
        home_(home),
        out_(out),
        host_(home, home.DataDirectory()),
        data_(home.DataDirectory() + "/"),
        log_(files, LogFilePath(data_)) {}

  int Run();

 private:
  Delivered Deliver(const MailboxAddress& to, const DemoMessage& message);
  // Moves the mail where its user wants it; answers the filter's record about the move.
  std::string Correct(const MailboxAddress& owner, Delivered& mail);
  void PrintDelivery(const MailboxAddress& to, const Delivered& mail);
  std::string LastRecordStarting(const std::string& prefix);
  // The engine's spam probability for the mail as the filter would hand it over now.
  double ScoreNow(const std::string& url);

  FileSystem& files_;
  Home home_;
  std::ostream& out_;
  MailHost host_;
  std::string data_;
  LogFollower log_;
  MailboxAddress alice_{"alice", "example.com"};
  MailboxAddress bob_{"bob", "example.org"};
  Tally alice_tally_, bob_tally_;
};

double Tour::ScoreNow(const std::string& url) {
  std::unique_ptr<store::Connection> connection = host_.store().Connect();
  std::unique_ptr<store::Record> record = connection->OpenRecord(
      url, store::adModeRead, store::adFailIfNotExists, store::adOpenRecordUnspecified, "", "");
  ComPtr<IClassifierEngine> engine;
  ThrowIfFailed(ServerEnvironment().objects().CreateInstance(
      CLSID_ClassifierEngine, IID_IClassifierEngine, engine.put_void()));
  double probability = 0;
  ThrowIfFailed(engine->Score(UserDataPath(data_, alice_.domain, alice_.user),
                              GetMailHeader(*record), GetMailBody(*record), &probability));
  return probability;
}

std::string Tour::LastRecordStarting(const std::string& prefix) {
  std::string found;
  for (const std::string& record : log_.NewRecords()) {
    if (record.starts_with(prefix)) found = record;
  }
  return found;
}

Delivered Tour::Deliver(const MailboxAddress& to, const DemoMessage& message) {
  Delivered mail{&message, host_.Deliver(to, kInbox, message.raw, message.internal), ""};
  mail.summary = LastRecordStarting("New Mail");
  Tally& tally = to.user == alice_.user ? alice_tally_ : bob_tally_;
  ++tally.delivered;
  ++(mail.state.marker == kMarkerSpam ? tally.spam : tally.ham);
  if (mail.summary.find("forced to HAM") != std::string::npos) ++tally.trusted;
  if (mail.Mistaken()) ++tally.mistakes;
  return mail;
}

std::string Tour::Correct(const MailboxAddress& owner, Delivered& mail) {
  const char* folder = mail.message->spam ? kJunkFolder : kInbox;
  mail.state = host_.Move(mail.state.url, folder);
  ++(owner.user == alice_.user ? alice_tally_ : bob_tally_).corrected;
  return LastRecordStarting("Mail moved by User");
}

void Tour::PrintDelivery(const MailboxAddress& to, const Delivered& mail) {
  out_ << "  " << Column(to.user, 6) << Column(SubjectOf(mail.message->raw), 46)
       << Column(mail.message->spam ? "spam" : "ham", 6) << Column(MarkerText(mail.state.marker), 6)
       << Column(FolderOf(mail.state.url), 13) << mail.summary << "\n";
}

int Tour::Run() {
  out_ << "CorvalithFilter demo\n"
       << "home: " << home_.directory << "  (store.db, registry.reg, data/, events.jsonl)\n\n";
  host_.AddMailbox(alice_);
  host_.AddMailbox(bob_);
  out_ << "Mailboxes " << alice_.Text() << " and " << bob_.Text()
       << " created with Inbox, Sent Items, Deleted Items, Junk E-mail.\n\n";

  out_ << "1. Training. A brand-new user's filter knows nothing, so Alice reads her first\n"
       << "   mails and moves every one it got wrong (spam into Junk E-mail, ham back to\n"
       << "   Inbox). Each move is a save the filter learns from.\n";
  out_ << "   " << Column("subject", 50) << Column("truth", 6) << Column("said", 6)
       << "user's move\n";
  for (const DemoMessage& message : DemoTrainingMessages()) {
    Delivered mail = Deliver(alice_, message);
    int32_t said = mail.state.marker;
    std::string move = "-";
    if (mail.Mistaken()) {
      std::string record = Correct(alice_, mail);
      move = std::string("into ") + (message.spam ? kJunkFolder : kInbox) + ": " + record;
    }
    out_ << "   " << Column(SubjectOf(message.raw), 50) << Column(message.spam ? "spam" : "ham", 6)
         << Column(MarkerText(said), 6) << move << "\n";
    if (&message == &DemoTrainingMessages().front()) {
      // The domain directory exists now; an administrator keeps the domain's list there.
      files_.WriteNewFile(DomainWhiteListPath(DomainDirectory(data_, alice_.domain)), "");
    }
  }
  UserStatistics trained = ReadUserStatistics(data_, alice_);
  out_ << "   Alice's filter now holds " << trained.ham << " HAM and " << trained.spam
       << " SPAM mails.\n\n";

  out_ << "2. New mail. Bob is new too; his domain's administrator trusts partner.example\n"
       << "   ("
       << "example.org/global.wlt"
       << "), and Carol writes to Alice from inside the "
       << "store.\n";
  out_ << "  " << Column("to", 6) << Column("subject", 46) << Column("truth", 6)
       << Column("said", 6) << Column("folder", 13) << "the filter's log\n";
  std::vector<Delivered> shown;
  for (const DemoMessage& message : DemoShowMessages()) {
    shown.push_back(Deliver(alice_, message));
    PrintDelivery(alice_, shown.back());
  }
  const std::vector<DemoMessage>& second = DemoSecondMailboxMessages();
  Delivered bob_first = Deliver(bob_, second[0]);
  PrintDelivery(bob_, bob_first);
  // The domain directory exists once the domain's first mail went through the filter.
  files_.AppendText(DomainWhiteListPath(DomainDirectory(data_, bob_.domain)),
                    "@partner.example\r\n");
  Delivered bob_partner = Deliver(bob_, second[1]);
  PrintDelivery(bob_, bob_partner);
  out_ << "\n";

  out_ << "3. Corrections. Alice moves what the filter got wrong:\n";
  int corrections = 0;
  std::vector<Delivered*> corrected;
  for (Delivered& mail : shown) {
    if (!mail.Mistaken()) continue;
    ++corrections;
    corrected.push_back(&mail);
    std::string record = Correct(alice_, mail);
    out_ << "   " << (mail.message->spam ? "missed spam    " : "false positive ") << "\""
         << SubjectOf(mail.message->raw) << "\" -> " << FolderOf(mail.state.url)
         << "\n     filter: " << record << "\n";
  }
  if (corrections == 0) out_ << "   (nothing: every verdict was right this time)\n";
  out_ << "\n";

  out_ << "4. What the filter learned.\n";
  UserStatistics learned = ReadUserStatistics(data_, alice_);
  out_ << "   Alice's filter: " << learned.ham << " HAM, " << learned.spam
       << " SPAM; her whitelist (" << learned.user_list.substr(home_.directory.size() + 1) << "): ";
  if (learned.user_entries.empty()) out_ << "empty";
  for (size_t i = 0; i < learned.user_entries.size(); ++i) {
    out_ << (i ? ", " : "") << learned.user_entries[i];
  }
  out_ << "\n";
  if (!corrected.empty()) {
    out_ << "   The corrected mails as the filter would judge them now (spam probability):\n";
    for (Delivered* mail : corrected) {
      double p = ScoreNow(mail->state.url);
      char figure[16];
      std::snprintf(figure, sizeof figure, "%.3f", p);
      out_ << "     " << Column(SubjectOf(mail->message->raw), 50) << figure
           << "  (truth: " << (mail->message->spam ? "spam" : "ham") << ")\n";
    }
  }
  out_ << "   A week later:\n";
  std::vector<Delivered> later;
  for (const DemoMessage& message : DemoFollowUpMessages()) {
    later.push_back(Deliver(alice_, message));
    PrintDelivery(alice_, later.back());
  }
  for (Delivered& mail : later) {
    if (!mail.Mistaken()) continue;
    std::string record = Correct(alice_, mail);
    out_ << "   Alice moves " << (mail.message->spam ? "the missed spam" : "the false positive")
         << " \"" << SubjectOf(mail.message->raw) << "\" -> " << FolderOf(mail.state.url)
         << "\n     filter: " << record << "\n";
  }
  out_ << "\n";

  out_ << "5. Summary\n";
  out_ << "   " << Column("mailbox", 20) << Column("mails", 7) << Column("said HAM", 10)
       << Column("said SPAM", 11) << Column("trusted", 9) << Column("wrong", 7)
       << Column("moved", 7) << "engine HAM/SPAM\n";
  for (const auto& [mailbox, tally] :
       {std::pair{alice_, alice_tally_}, std::pair{bob_, bob_tally_}}) {
    UserStatistics stats = ReadUserStatistics(data_, mailbox);
    out_ << "   " << Column(mailbox.Text(), 20) << Column(std::to_string(tally.delivered), 7)
         << Column(std::to_string(tally.ham), 10) << Column(std::to_string(tally.spam), 11)
         << Column(std::to_string(tally.trusted), 9) << Column(std::to_string(tally.mistakes), 7)
         << Column(std::to_string(tally.corrected), 7) << stats.ham << "/" << stats.spam << "\n";
  }
  out_ << "\n6. The last lines of " << LogFilePath(data_) << ":\n";
  for (const std::string& line : log_.Tail(8)) out_ << "   " << line << "\n";
  out_ << "\nLook around:  corvalith --home " << home_.directory << " ls " << alice_.Text()
       << " Inbox\n"
       << "              corvalith --home " << home_.directory << " stats " << alice_.Text()
       << "\n";
  return 0;
}

// A new directory of the demo's own under $TMPDIR (else /tmp).
std::string NewTemporaryDirectory(FileSystem& files) {
  const char* base = std::getenv("TMPDIR");
  const std::string prefix =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/corvalith-demo-";
  std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%06X", static_cast<unsigned>(random() & 0xFFFFFF));
    if (files.CreateDirectory(prefix + suffix)) return prefix + suffix;
    if (files.LastError() != EEXIST) break;
  }
  throw Failure::FromErrno("cannot create a temporary directory " + prefix + "...",
                           files.LastError());
}

Home MakeDemoHome(FileSystem& files, const std::string& directory) {
  if (directory.empty()) return Home{NewTemporaryDirectory(files)};
  Home home = ResolveHome(directory);
  if (files.Exists(home.StorePath())) {
    throw Failure(home.directory + " holds a home already; the demo needs a fresh one", E_FAIL);
  }
  return home;
}

}  // namespace

int RunDemo(const std::string& directory, std::ostream& out, std::ostream& err) {
  try {
    FileSystem& files = ServerEnvironment().file_system();
    Home home = MakeDemoHome(files, directory);
    // The demo's own settings, whatever the caller's environment names.
    setenv("CORVALITH_REGISTRY", home.RegistryPath().c_str(), 1);
    UseHomeEnvironment(home);
    CreateHomeFiles(files, home);
    Tour tour(files, home, out);
    return tour.Run();
  } catch (const Failure& failure) {
    err << "corvalith demo: " << failure.description() << "\n";
    return 1;
  }
}

}  // namespace corvalith::host
