#include "bench/engine_corpus.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace corvalith::bench {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

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

// The unfolded value of the first field called `name` (lower case), or "".
std::string FieldValue(const std::string& header, const std::string& name) {
  std::istringstream in(header);
  std::string line, value;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      if (inside) value += " " + line;
      continue;
    }
    if (inside) return value;
    size_t colon = line.find(':');
    if (colon != std::string::npos && Lower(line.substr(0, colon)) == name) {
      inside = true;
      value = line.substr(colon + 1);
    }
  }
  return value;
}

std::string Parameter(const std::string& value, const std::string& name) {
  std::string lower = Lower(value);
  size_t at = 0;
  while ((at = lower.find(name + "=", at)) != std::string::npos) {
    if (at == 0 || lower[at - 1] == ';' || lower[at - 1] == ' ' || lower[at - 1] == '\t') {
      size_t start = at + name.size() + 1;
      if (start < value.size() && value[start] == '"') {
        size_t end = value.find('"', start + 1);
        return value.substr(start + 1, end == std::string::npos ? std::string::npos
                                                                 : end - start - 1);
      }
      size_t end = value.find_first_of("; \t\r\n", start);
      return value.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    ++at;
  }
  return "";
}

std::string DecodeBase64(const std::string& in) {
  std::string out;
  uint32_t buffer = 0;
  int bits = 0;
  for (unsigned char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else continue;
    buffer = (buffer << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

std::string DecodeQuotedPrintable(const std::string& in) {
  std::string out;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '=') {
      out.push_back(in[i]);
    } else if (i + 1 < in.size() && in[i + 1] == '\n') {
      i += 1;
    } else if (i + 2 < in.size() && in[i + 1] == '\r' && in[i + 2] == '\n') {
      i += 2;
    } else if (i + 2 < in.size() && hex(in[i + 1]) >= 0 && hex(in[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(in[i + 1]) * 16 + hex(in[i + 2])));
      i += 2;
    } else {
      out.push_back('=');
    }
  }
  return out;
}

void CollectText(const std::string& header, const std::string& body, int depth,
                 std::string* html, std::string* plain) {
  std::string type = Lower(FieldValue(header, "content-type"));
  size_t start = type.find_first_not_of(" \t");
  type = start == std::string::npos ? "" : type.substr(start);
  if (type.rfind("multipart/", 0) == 0 && depth < 8) {
    std::string boundary = Parameter(FieldValue(header, "content-type"), "boundary");
    if (boundary.empty()) return;
    std::string delimiter = "--" + boundary;
    size_t at = body.find(delimiter);
    while (at != std::string::npos) {
      size_t part_start = body.find('\n', at);
      if (part_start == std::string::npos) break;
      ++part_start;
      size_t next = body.find("\n" + delimiter, part_start);
      std::string part = body.substr(part_start, next == std::string::npos ? std::string::npos
                                                                         : next - part_start);
      std::string part_header, part_body;
      SplitMessage(part, &part_header, &part_body);
      CollectText(part_header, part_body, depth + 1, html, plain);
      if (next == std::string::npos) break;
      at = next + 1;
      if (body.compare(at + delimiter.size(), 2, "--") == 0) break;
    }
    return;
  }
  bool is_html = type.rfind("text/html", 0) == 0;
  bool is_plain = type.empty() || type.rfind("text/plain", 0) == 0 || type.rfind("text", 0) == 0;
  if (!is_html && !is_plain) return;
  std::string encoding = Lower(FieldValue(header, "content-transfer-encoding"));
  std::string text = body;
  if (encoding.find("base64") != std::string::npos) text = DecodeBase64(body);
  else if (encoding.find("quoted-printable") != std::string::npos) text = DecodeQuotedPrintable(body);
  if (is_html && html->empty()) *html = std::move(text);
  else if (!is_html) *plain += text;
}

}  // namespace

std::string DecodeBody(const std::string& header, const std::string& body) {
  std::string html, plain;
  CollectText(header, body, 0, &html, &plain);
  return html.empty() ? plain : html;
}

std::vector<CorpusMail> LoadCorpus(const std::string& dir,
                                   const std::vector<std::pair<std::string, bool>>& groups) {
  std::vector<CorpusMail> mails;
  for (const auto& [group, spam] : groups) {
    std::filesystem::path folder = std::filesystem::path(dir) / group;
    if (!std::filesystem::is_directory(folder)) {
      throw std::runtime_error("corpus group missing: " + folder.string());
    }
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().extension() == ".eml") files.push_back(entry.path().string());
    }
    if (files.empty()) throw std::runtime_error("corpus group empty: " + folder.string());
    std::sort(files.begin(), files.end());  // directory order differs between file systems
    for (const std::string& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      CorpusMail mail;
      mail.path = file;
      mail.spam = spam;
      std::string raw_body;
      SplitMessage(raw, &mail.header, &raw_body);
      mail.body = DecodeBody(mail.header, raw_body);
      mails.push_back(std::move(mail));
    }
  }
  return mails;
}

void ShuffleMails(std::vector<CorpusMail>* mails, uint64_t seed) {
  std::mt19937_64 random(seed);
  for (size_t i = mails->size(); i > 1; --i) {
    size_t j = static_cast<size_t>(random() % i);
    std::swap((*mails)[i - 1], (*mails)[j]);
  }
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
