// The persistent store's costs as the host sees them, and a check of the mail import on a
// real corpus: imports every message of every group into a fresh store file (one mailbox per
// group, one host transaction per message), counts what the import derived, prints a few
// items to check by eye, then measures one property read and one marker write.
//
//   store_bench [corpus dir] [store file]
// The corpus dir defaults to .cache/spam-assassin (scripts/fetch-corpus fills it); without a
// corpus the bench imports synthetic messages.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "store/mailbox_url.h"
#include "store/message_import.h"
#include "store/sqlite/sqlite_store.h"

namespace corvalith::store {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Message {
  std::string group;
  std::string name;
  std::string raw;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::vector<Message> LoadCorpus(const fs::path& dir) {
  std::vector<Message> messages;
  std::vector<fs::path> groups;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_directory()) groups.push_back(entry.path());
  }
  std::sort(groups.begin(), groups.end());
  for (const fs::path& group : groups) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(group)) {
      if (entry.path().extension() == ".eml") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      messages.push_back({group.filename().string(), file.filename().string(), bytes.str()});
    }
  }
  return messages;
}

std::vector<Message> SyntheticCorpus(int count) {
  std::vector<Message> messages;
  for (int i = 0; i < count; ++i) {
    std::string body;
    for (int w = 0; w < 200; ++w) body += "word" + std::to_string((i * 31 + w * 7) % 997) + " ";
    std::string raw =
        "Received: from relay.example.net by mx.example.com; Tue, 8 Dec 2026 03:00:00 +0000\r\n"
        "From: =?utf-8?Q?Sender_" +
        std::to_string(i) + "?= <s" + std::to_string(i) + "@example.net>\r\nSubject: synthetic " +
        std::to_string(i) +
        "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=b\r\n\r\n"
        "--b\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" +
        body + "\r\n--b\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<p>" + body +
        "</p>\r\n--b--\r\n";
    messages.push_back(
        {i % 2 ? "spam-synthetic" : "ham-synthetic", std::to_string(i) + ".eml", std::move(raw)});
  }
  return messages;
}

std::string Snippet(const std::optional<Variant>& value, size_t size = 70) {
  if (!value) return "(absent)";
  std::string text = value->ToString();
  for (char& c : text) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
  if (text.size() > size) {
    size_t cut = size;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut) + "...";
  }
  return text;
}

int Run(int argc, char** argv) {
  const fs::path corpus_dir = argc > 1 ? argv[1] : ".cache/spam-assassin";
  const std::string store_path =
      argc > 2 ? argv[2]
               : (fs::temp_directory_path() / ("store-bench-" + std::to_string(getpid()) + ".db"))
                     .string();
  const bool have_corpus = fs::is_directory(corpus_dir);
  std::vector<Message> messages = have_corpus ? LoadCorpus(corpus_dir) : SyntheticCorpus(3000);
  std::printf("corpus: %s (%zu messages)\n",
              have_corpus ? corpus_dir.string().c_str() : "synthetic", messages.size());
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(store_path + suffix);

  SqliteStore store(store_path, DefaultEnvironment().file_system());
  auto connection = store.Connect();
  std::vector<std::string> groups;
  for (const Message& m : messages) {
    if (std::find(groups.begin(), groups.end(), m.group) == groups.end()) {
      groups.push_back(m.group);
      CreateMailbox(*connection, "corpus.example", m.group);
    }
  }

  // Import: each message as the host delivers it, in a transaction of its own.
  std::vector<std::string> urls;
  size_t bytes = 0, failures = 0;
  auto start = Clock::now();
  for (const Message& m : messages) {
    const std::string url = MailboxRootUrl("corpus.example", m.group) + "/Inbox/" + m.name;
    try {
      connection->BeginTrans();
      ImportMessage(*connection, url, m.raw, Origin::kExternal);
      connection->CommitTrans();
      urls.push_back(url);
      bytes += m.raw.size();
    } catch (const Failure& failure) {
      connection->RollbackTrans();
      ++failures;
      std::printf("import failed: %s: %s\n", url.c_str(), failure.description().c_str());
    }
  }
  double import_seconds = Seconds(Clock::now() - start);
  std::printf("import: %zu messages, %.1f MB in %.2f s = %.0f messages/s (%zu failed)\n",
              urls.size(), bytes / 1e6, import_seconds, urls.size() / import_seconds, failures);

  // What the import derived, read back through the store's own inspection calls.
  size_t with_plain = 0, with_html = 0, with_from = 0, with_subject = 0, with_header = 0,
         with_any_body = 0;
  for (const std::string& url : urls) {
    bool plain = store.Property(url, kPlainBodyProperty).has_value();
    bool html = store.Property(url, kHtmlBodyProperty).has_value();
    with_plain += plain;
    with_html += html;
    with_any_body += plain || html;
    with_from += store.Property(url, kFromProperty).has_value();
    with_subject += store.Property(url, kSubjectProperty).has_value();
    with_header += store.Property(url, kHeaderBlockProperty).has_value();
  }
  std::printf(
      "derived: %zu with From, %zu with Subject, %zu with header block, %zu with plain body, "
      "%zu with HTML body, %zu with neither body\n",
      with_from, with_subject, with_header, with_plain, with_html, urls.size() - with_any_body);
  for (const std::string& group : groups) {
    for (const auto& folder : store.Folders(MailboxRootUrl("corpus.example", group))) {
      if (folder.items > 0)
        std::printf("  %s: %lld items\n", folder.url.c_str(), static_cast<long long>(folder.items));
    }
  }
  for (size_t i :
       {size_t{0}, urls.size() / 3, urls.size() / 2, urls.size() * 4 / 5, urls.size() - 1}) {
    if (i >= urls.size()) continue;
    const std::string& url = urls[i];
    std::printf("spot check %s\n  From:    %s\n  Subject: %s\n  plain:   %s\n  html:    %s\n",
                url.c_str(), Snippet(store.Property(url, kFromProperty)).c_str(),
                Snippet(store.Property(url, kSubjectProperty)).c_str(),
                Snippet(store.Property(url, kPlainBodyProperty)).c_str(),
                Snippet(store.Property(url, kHtmlBodyProperty)).c_str());
  }

  // The filter's reads: about ten properties of the saved item per delivery.
  const std::string names[] = {kFromProperty,       kSubjectProperty,
                               kHeaderBlockProperty, kPlainBodyProperty,
                               kHtmlBodyProperty, kAddressTypeProperty,
                               kMailMarkerProperty, kDavParentName,
                               kDavContentClass,    "urn:schemas:mailheader:x-missing"};
  const size_t sample = std::min<size_t>(urls.size(), 2000);
  size_t reads = 0, value_bytes = 0;
  Clock::duration open_time{}, read_time{};
  for (size_t i = 0; i < sample; ++i) {
    auto t0 = Clock::now();
    auto record = connection->OpenRecord(urls[i], adModeReadWrite, adFailIfNotExists,
                                         adOpenRecordUnspecified, "", "");
    auto t1 = Clock::now();
    for (const std::string& name : names) {
      Variant value = record->GetFields().Item(name).Value();
      value_bytes += value.IsNull() ? 0 : value.ToString().size();
      ++reads;
    }
    read_time += Clock::now() - t1;
    open_time += t1 - t0;
  }
  std::printf(
      "property read: %.2f us each (%zu reads of %zu names, %.1f MB of values); "
      "record open: %.2f us\n",
      Seconds(read_time) * 1e6 / reads, reads, std::size(names), value_bytes / 1e6,
      Seconds(open_time) * 1e6 / sample);

  // The filter's write: the marker, then Update, each its own transaction.
  Clock::duration write_time{};
  for (size_t i = 0; i < sample; ++i) {
    auto record = connection->OpenRecord(urls[i], adModeReadWrite, adFailIfNotExists,
                                         adOpenRecordUnspecified, "", "");
    auto t0 = Clock::now();
    record->GetFields().Item(kMailMarkerProperty).SetValue(Variant::Int32(2));
    record->GetFields().Update();
    write_time += Clock::now() - t0;
  }
  std::printf("marker write (SetValue Int32 + Update, own transaction): %.2f us each (%zu)\n",
              Seconds(write_time) * 1e6 / sample, sample);
  std::printf("store file: %.1f MB (+ WAL %.1f MB)\n", fs::file_size(store_path) / 1e6,
              fs::exists(store_path + "-wal") ? fs::file_size(store_path + "-wal") / 1e6 : 0.0);
  connection.reset();
  if (argc <= 2) {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(store_path + suffix);
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace corvalith::store

int main(int argc, char** argv) {
  try {
    return corvalith::store::Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "store_bench: %s\n", e.what());
    return 2;
  }
}
