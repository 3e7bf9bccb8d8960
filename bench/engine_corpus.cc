#include "bench/engine_corpus.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>

#include "mailbox_ops/filter_operations.h"
#include "platform/failure.h"
#include "store/message_import.h"

namespace corvalith::bench {

namespace {

void SplitMessage(const std::string& raw, std::string* header, std::string* body) {
  size_t lf = raw.find("\n\n");
  size_t crlf = raw.find("\r\n\r\n");
  if (lf == std::string::npos && crlf == std::string::npos) {
    *header = raw;
    body->clear();
  } else if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) {
    *header = raw.substr(0, crlf + 2);
    *body = raw.substr(crlf + 4);
  } else {
    *header = raw.substr(0, lf + 1);
    *body = raw.substr(lf + 2);
  }
}

const std::set<std::string>& HardHamDevelopmentIds() {
  static const std::set<std::string> ids = [] {
    std::ifstream in(CORVALITH_HARD_HAM_DEV);
    if (!in) throw std::runtime_error(std::string("cannot read ") + CORVALITH_HARD_HAM_DEV);
    std::set<std::string> result;
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty() && line[0] != '#') result.insert(line);
    }
    return result;
  }();
  return ids;
}

bool IsHardHamDevelopment(const std::string& id) { return HardHamDevelopmentIds().count(id) > 0; }

}  // namespace

std::vector<CorpusMail> LoadCorpus(const std::string& dir, const std::vector<CorpusGroup>& groups) {
  std::vector<CorpusMail> mails;
  for (const CorpusGroup& group : groups) {
    const bool spam = group.spam;
    std::filesystem::path folder = std::filesystem::path(dir) / group.name;
    if (!std::filesystem::is_directory(folder)) {
      throw std::runtime_error("corpus group missing: " + folder.string());
    }
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().extension() != ".eml") continue;
      if (group.take && !group.take(entry.path().stem().string())) continue;
      files.push_back(entry.path().string());
    }
    if (files.empty()) throw std::runtime_error("nothing taken of " + folder.string());
    std::sort(files.begin(), files.end());  // directory order differs between file systems
    for (const std::string& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      CorpusMail mail;
      mail.path = file;
      mail.spam = spam;
      // What the store itself derives on delivery, so the engine sees what it will in
      // service: the raw header block, and the HTML body when there is one, else the plain.
      store::DerivedMessage derived = store::DeriveMessage(raw, store::Origin::kExternal);
      std::string raw_body;
      SplitMessage(raw, &mail.header, &raw_body);
      if (derived.header_block) mail.header = *derived.header_block;
      mail.body = derived.html_body ? *derived.html_body : derived.plain_body.value_or("");
      try {
        if (derived.from) mail.sender = SenderAddressOfFromHeader(*derived.from);
      } catch (const Failure&) {
        // No address the filter could whitelist.
      }
      mails.push_back(std::move(mail));
    }
  }
  return mails;
}

std::vector<CorpusMail> LoadDevelopmentSplit(const std::string& dir) {
  return LoadCorpus(dir, {{"easy-ham-1", false, nullptr},
                          {"hard-ham-1", false, IsHardHamDevelopment},
                          {"spam-1", true, nullptr}});
}

std::vector<CorpusMail> LoadHeldOut(const std::string& dir) {
  return LoadCorpus(
      dir, {{"easy-ham-2", false, nullptr},
            {"hard-ham-1", false, [](const std::string& id) { return !IsHardHamDevelopment(id); }},
            {"spam-2", true, nullptr}});
}

void ShuffleMails(std::vector<CorpusMail>* mails, uint64_t seed) {
  std::mt19937_64 random(seed);
  for (size_t i = mails->size(); i > 1; --i) {
    size_t j = static_cast<size_t>(random() % i);
    std::swap((*mails)[i - 1], (*mails)[j]);
  }
}

std::vector<size_t> ShuffledOrder(size_t count, uint64_t seed) {
  std::vector<size_t> order(count);
  for (size_t i = 0; i < count; ++i) order[i] = i;
  std::mt19937_64 random(seed);
  for (size_t i = count; i > 1; --i) std::swap(order[i - 1], order[random() % i]);
  return order;
}

std::vector<int> DrawUsers(size_t count, int users, uint64_t seed) {
  std::mt19937_64 random(seed ^ 0x5bd1e9955bd1e995ULL);
  std::vector<int> owner(count);
  for (int& user : owner) user = static_cast<int>(random() % static_cast<uint64_t>(users));
  return owner;
}

double OneMinusRocAreaPercent(const std::vector<double>& scores, const std::vector<bool>& spam) {
  std::vector<size_t> order(scores.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return scores[a] < scores[b]; });
  // Mann-Whitney: for each spam, the hams ranked below it, ties counting half.
  double hams_below = 0, wins = 0;
  size_t total_spam = 0, total_ham = 0;
  for (size_t i = 0; i < order.size();) {
    size_t j = i;
    size_t tie_ham = 0, tie_spam = 0;
    while (j < order.size() && scores[order[j]] == scores[order[i]]) {
      spam[order[j]] ? ++tie_spam : ++tie_ham;
      ++j;
    }
    wins += tie_spam * (hams_below + 0.5 * tie_ham);
    hams_below += tie_ham;
    total_spam += tie_spam;
    total_ham += tie_ham;
    i = j;
  }
  if (total_spam == 0 || total_ham == 0) return 0;
  return 100.0 * (1.0 - wins / (static_cast<double>(total_spam) * total_ham));
}

}  // namespace corvalith::bench
