// The cost of one save event for new mail: OnSyncSave on the persistent store with the real
// classifier, after the engine has been trained by the same stream (each wrong verdict is
// corrected by a user's move, as a user would). Only the OnSyncSave call of each delivery is
// timed; the import and the moves are not.
//
//   pipeline_bench [CORPUS_DIR] [--debug-level N] [--seed N]
//
// CORPUS_DIR is what scripts/fetch-corpus prints; without it synthetic mail is used.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

#include "classifier/classifier_engine_object.h"
#include "mailbox_ops/filter_operations.h"
#include "mailhost/filter_instance.h"
#include "platform/testing/memory_environment.h"
#include "platform/testing/temp_directory.h"
#include "sink/exchange_filter.h"
#include "store/mailbox_url.h"
#include "store/message_import.h"
#include "store/sqlite/sqlite_store.h"

namespace corvalith {
namespace {

struct Mail {
  std::string raw;
  bool spam;
};

std::vector<Mail> LoadMails(FileSystem& files, const std::string& corpus, uint64_t seed) {
  std::vector<Mail> mails;
  if (!corpus.empty()) {
    for (auto [group, spam] : {std::pair{"easy-ham-1", false}, std::pair{"spam-1", true}}) {
      std::vector<std::string> paths;
      for (const auto& entry : std::filesystem::directory_iterator(corpus + "/" + group)) {
        paths.push_back(entry.path().string());
      }
      std::sort(paths.begin(), paths.end());
      for (const auto& f : paths) mails.push_back({files.ReadFile(f, size_t{64} << 20), spam});
    }
  } else {
    std::mt19937_64 words(7);
    const char* ham[] = {"meeting", "report", "build", "review", "lunch", "draft", "team"};
    const char* spam[] = {"cheap", "pills", "casino", "winner", "offer", "viagra", "free"};
    for (int i = 0; i < 3000; ++i) {
      bool is_spam = i % 6 == 0;
      std::string body;
      for (int w = 0; w < 80; ++w)
        body += std::string(is_spam ? spam[words() % 7] : ham[words() % 7]) + " ";
      mails.push_back({"From: <s" + std::to_string(i % 50) + "@x.example>\r\nSubject: " +
                           std::to_string(i) + "\r\n\r\n" + body + "\r\n",
                       is_spam});
    }
  }
  std::mt19937_64 order(seed);
  std::shuffle(mails.begin(), mails.end(), order);
  return mails;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * (values.size() - 1))];
}

int Run(int argc, char** argv) {
  std::string corpus;
  int32_t debug_level = 0;
  uint64_t seed = 1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--debug-level" && i + 1 < argc) {
      debug_level = std::stoi(argv[++i]);
    } else if (arg == "--seed" && i + 1 < argc) {
      seed = std::stoull(argv[++i]);
    } else {
      corpus = arg;
    }
  }
  const testing::TempDirectory temp("corvalith-pipeline");
  const std::string& dir = temp.path();
  std::filesystem::create_directory(dir + "/data");

  testing::DiskEnvironment env;
  RegisterClassifierEngine(env.classes);
  env.registry_.SetDword("DebugLevel", static_cast<uint32_t>(debug_level));
  env.registry_.SetString("UseJunkMailFolder", store::kJunkMailFolder);
  env.registry_.SetDword("UseWhiteList", 1);
  env.registry_.SetDword("AutoWhiteList", 1);
  env.files.AppendText(dir + "/data/cvusrmnl.sys", "Subject: Manual\r\n\r\nHello.\r\n");

  std::vector<Mail> mails = LoadMails(env.files, corpus, seed);
  store::SqliteStore store(dir + "/store.db", env.files);
  std::unique_ptr<store::Connection> connection = store.Connect();
  store::CreateMailbox(*connection, "example.com", "alice");
  const std::string root = store::MailboxRootUrl("example.com", "alice");

  ExchangeFilter* filter = ExchangeFilter::Create(env);
  host::ConstructionObject construction(dir + "/data");
  filter->Construct(&construction);

  std::vector<double> all_ms;
  std::vector<double> trained_ms;
  int errors = 0;
  for (size_t i = 0; i < mails.size(); ++i) {
    std::string url = root + "/Inbox/M" + std::to_string(i) + ".EML";
    store::ImportMessage(*connection, url, mails[i].raw, store::Origin::kExternal);
    int32_t marker = 0;
    std::string final_url;
    {
      host::SaveEventInfo info(*connection, url);
      auto start = std::chrono::steady_clock::now();
      filter->OnSyncSave(&info, url, host::kDeliveryFlags);
      double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      all_ms.push_back(ms);
      if (i >= mails.size() / 2) trained_ms.push_back(ms);
      final_url = info.EventRecord().Source();
      marker = DecodeMailMarker(info.EventRecord().GetFields().Item(store::kMailMarkerProperty));
    }
    bool said_spam = marker == kMarkerSpam;
    if (said_spam == mails[i].spam) continue;
    ++errors;
    // The user's correction: a move into the junk-mail folder, or back to the inbox.
    std::string folder =
        root + "/" + (mails[i].spam ? store::kJunkMailFolder : store::kInboxFolder);
    auto record =
        connection->OpenRecord(final_url, store::adModeReadWrite, store::adFailIfNotExists,
                               store::adOpenRecordUnspecified, "", "");
    std::string moved = record->MoveRecord(final_url, folder + "/C" + std::to_string(i) + ".EML",
                                           "", "", store::adMoveUnspecified, false);
    record.reset();
    host::SaveEventInfo info(*connection, moved);
    filter->OnSyncSave(&info, moved, host::kUserMoveFlags);
  }
  filter->Release();

  std::printf("pipeline_bench: %zu new mails (%s), DebugLevel %d, seed %llu\n", mails.size(),
              corpus.empty() ? "synthetic" : corpus.c_str(), debug_level,
              static_cast<unsigned long long>(seed));
  std::printf("  wrong verdicts corrected by moves: %d\n", errors);
  std::printf("  OnSyncSave, whole stream:          median %.3f ms  p95 %.3f ms\n",
              Percentile(all_ms, 0.5), Percentile(all_ms, 0.95));
  std::printf("  OnSyncSave, second half (trained): median %.3f ms  p95 %.3f ms\n",
              Percentile(trained_ms, 0.5), Percentile(trained_ms, 0.95));
  return 0;
}

}  // namespace
}  // namespace corvalith

int main(int argc, char** argv) { return corvalith::Run(argc, argv); }
