#include "classifier/features.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "classifier/ascii.h"
#include "classifier/feature_sink.h"
#include "classifier/header_fields.h"
#include "classifier/sender_evidence.h"
#include "platform/hash.h"
#include "platform/text.h"

namespace corvalith {

namespace {

// Distinct seeds keep a body word from colliding with the same text seen as a header token,
// a host or a 4-gram.
constexpr uint64_t kSeedHeader = 0x1d8e4e27c47d124fULL;
constexpr uint64_t kSeedHeaderName = 0x2545f4914f6cdd1dULL;
constexpr uint64_t kSeedWord = 0x9fb21c651e98df25ULL;
constexpr uint64_t kSeedOsb = 0x5851f42d4c957f2dULL;
constexpr uint64_t kSeedHost = 0x14057b7ef767814fULL;
constexpr uint64_t kSeedTag = 0x61c8864680b583ebULL;
constexpr uint64_t kSeedBodyGram = 0x3c6ef372fe94f82bULL;
constexpr uint64_t kSeedHeaderGram = 0xa54ff53a5f1d36f1ULL;
constexpr uint64_t kBias = 0xb7e151628aed2a6bULL;

using ascii::IsAlnum;
using ascii::IsAlpha;
using ascii::IsSpace;

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    out->push_back(' ');
  } else if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes the character reference starting at text[at] == '&'. Returns the bytes consumed,
// or 0 when it is not a reference we know (the '&' then stays literal text).
size_t DecodeEntity(std::string_view text, size_t at, std::string* out) {
  constexpr size_t kMaxEntity = 12;
  size_t end = at + 1;
  while (end < text.size() && end - at <= kMaxEntity && text[end] != ';' &&
         (IsAlnum(text[end]) || text[end] == '#')) {
    ++end;
  }
  bool has_semicolon = end < text.size() && text[end] == ';';
  std::string_view name = text.substr(at + 1, end - at - 1);
  size_t consumed = end - at + (has_semicolon ? 1 : 0);
  if (name.size() >= 2 && name[0] == '#') {
    uint32_t cp = 0;
    bool hex = name[1] == 'x' || name[1] == 'X';
    size_t digits = 0;
    for (size_t i = hex ? 2 : 1; i < name.size(); ++i) {
      unsigned char c = name[i];
      uint32_t d;
      if (c >= '0' && c <= '9') {
        d = c - '0';
      } else if (hex && IsAlpha(c) && AsciiLower(c) <= 'f') {
        d = AsciiLower(c) - 'a' + 10;
      } else {
        return 0;
      }
      if (cp > 0x10FFFF) continue;  // keep reading the digits, the result is invalid anyway
      cp = cp * (hex ? 16 : 10) + d;
      ++digits;
    }
    if (digits == 0) return 0;
    AppendUtf8(cp, out);
    return consumed;
  }
  static constexpr std::pair<std::string_view, uint32_t> kNamed[] = {
      {"amp", '&'},      {"lt", '<'},      {"gt", '>'},     {"quot", '"'},
      {"apos", '\''},    {"nbsp", ' '},    {"copy", 0xA9},  {"reg", 0xAE},
      {"trade", 0x2122}, {"euro", 0x20AC}, {"pound", 0xA3}, {"middot", 0xB7},
  };
  for (const auto& [entity, cp] : kNamed) {
    if (EqualsIgnoringCase(name, entity)) {
      AppendUtf8(cp, out);
      return consumed;
    }
  }
  return 0;
}

void AddHost(std::string_view host, FeatureSink* sink) {
  if (host.empty()) return;
  auto named = [](std::string_view h) { return [h] { return "link host " + std::string(h); }; };
  sink->Add(HashBytes(host, kSeedHost), named(host));
  // The registered domain matters more than the machine name, which spammers vary.
  size_t dot = host.find('.');
  int parents = 0;
  while (dot != std::string_view::npos && parents < 4) {
    std::string_view parent = host.substr(dot + 1);
    if (parent.find('.') == std::string_view::npos) break;
    sink->Add(HashBytes(parent, kSeedHost), named(parent));
    dot = host.find('.', dot + 1);
    ++parents;
  }
  bool numeric = std::all_of(host.begin(), host.end(),
                             [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
  if (numeric) sink->Add(HashBytes("<numeric host>", kSeedHost), named("<numeric>"));
}

// The hosts of the URLs written out in plain text. Each search resumes where it found its last
// match: searching the rest of the text again for both words at every candidate would be
// quadratic in a text made of "http"s.
void CollectTextUrls(std::string_view text, std::vector<std::string>* hosts) {
  size_t http = FindIgnoringCase(text, "http");
  size_t www = FindIgnoringCase(text, "www.");
  int found = 0;
  while (found < 64) {
    size_t next = std::min(http, www);
    if (next == std::string_view::npos) break;
    std::string host = UrlHost(text.substr(next, 512));
    if (!host.empty()) {
      hosts->push_back(std::move(host));
      ++found;
    }
    size_t at = next + 4;
    if (http != std::string_view::npos && http < at) http = FindIgnoringCase(text, "http", at);
    if (www != std::string_view::npos && www < at) www = FindIgnoringCase(text, "www.", at);
  }
}

// The part of a field's value that says something about the mail other than when it was
// written: nothing of a date field, a Received field up to its date. A year or a day learned
// from last year's spam is no evidence about this year's mail, and in a live mail stream every
// mail of a day would share it.
std::string_view UndatedValue(const HeaderField& field) {
  const std::string& name = field.name;  // lower case
  if (name == "date" || name == "resent-date" || name == "delivery-date") return {};
  std::string_view value = field.value;
  if (name == "received" || name == "x-received") {
    const size_t semicolon = value.rfind(';');
    if (semicolon != std::string_view::npos) value = value.substr(0, semicolon);
  }
  return value;
}

// The header block: each field's name on its own, and each token of its value prefixed by
// the name, so "from:example.com" and "received:example.com" are different evidence.
void AddHeader(const std::vector<HeaderField>& fields, FeatureSink* sink) {
  for (const HeaderField& field : fields) {
    if (sink->full()) return;
    const uint64_t name_hash = HashBytes(field.name, kSeedHeaderName);
    sink->Add(name_hash, [&] { return "header field " + field.name; });
    std::string token;
    auto add = [&](std::string_view t) {
      sink->Add(HashCombine(name_hash ^ kSeedHeader, t),
                [&] { return field.name + ":" + std::string(t); });
    };
    auto flush = [&] {
      while (!token.empty() && (token.back() == '.' || token.back() == '-')) token.pop_back();
      size_t start = 0;
      while (start < token.size() && (token[start] == '.' || token[start] == '-')) ++start;
      std::string_view t = std::string_view(token).substr(start);
      if (!t.empty() && t.size() <= kMaxTokenBytes) {
        add(t);
        size_t at = t.find('@');
        if (at != std::string_view::npos && at + 1 < t.size()) add(t.substr(at));
      }
      token.clear();
    };
    for (unsigned char c : UndatedValue(field)) {
      if (IsAlnum(c) || c >= 0x80 || c == '.' || c == '-' || c == '_' || c == '@' || c == '$' ||
          c == '!' || c == '%') {
        if (token.size() <= kMaxTokenBytes) token.push_back(AsciiLower(static_cast<char>(c)));
      } else {
        flush();
      }
    }
    flush();
  }
}

void AddWords(std::string_view text, const FeatureOptions& options, FeatureSink* sink) {
  std::array<uint64_t, kOsbWindow - 1> previous{};  // most recent first; 0 = none yet
  std::string token;
  auto flush = [&] {
    size_t start = 0;
    while (start < token.size() && std::strchr(".-'_!", token[start])) ++start;
    size_t end = token.size();
    while (end > start && std::strchr(".-'_!$", token[end - 1])) --end;
    size_t length = end - start;
    if (length >= 2 && length <= kMaxTokenBytes) {
      std::string_view word = std::string_view(token).substr(start, length);
      uint64_t h = HashBytes(word, kSeedWord);
      if (options.body_words) sink->Add(h, [&] { return "word " + std::string(word); });
      if (options.body_osb) {
        for (size_t d = 0; d < previous.size() && previous[d] != 0; ++d) {
          sink->Add(Mix64((previous[d] * 31 + d + kSeedOsb) ^ (h * 0x9e3779b97f4a7c15ULL)), [&] {
            return "word " + std::string(word) + " " + std::to_string(d + 1) + " after another";
          });
        }
        for (size_t d = previous.size() - 1; d > 0; --d) previous[d] = previous[d - 1];
        previous[0] = h;
      }
    }
    token.clear();
  };
  for (size_t i = 0; i < text.size() && !sink->full(); ++i) {
    unsigned char c = text[i];
    if (IsAlnum(c) || c >= 0x80 || c == '$' || c == '\'' || c == '-' || c == '.' || c == '_' ||
        c == '!') {
      // A very long run (base64 left in the body, a hostile line) is read through but not
      // kept, so its cost stays linear and it yields no feature.
      if (token.size() <= kMaxTokenBytes) token.push_back(AsciiLower(static_cast<char>(c)));
    } else {
      flush();
    }
  }
  flush();
}

void AddGrams(std::string_view text, size_t bytes, uint64_t seed, FeatureSink* sink) {
  text = text.substr(0, bytes);
  for (size_t i = 0; i + 4 <= text.size() && !sink->full(); ++i) {
    uint32_t gram;
    std::memcpy(&gram, text.data() + i, 4);
    sink->Add(Mix64(gram ^ seed), [&] { return "bytes " + std::string(text.substr(i, 4)); });
  }
}

}  // namespace

std::string UrlHost(std::string_view url) {
  size_t start;
  if (StartsWithIgnoringCase(url, "http://")) {
    start = 7;
  } else if (StartsWithIgnoringCase(url, "https://")) {
    start = 8;
  } else if (StartsWithIgnoringCase(url, "ftp://")) {
    start = 6;
  } else if (StartsWithIgnoringCase(url, "www.")) {
    start = 0;
  } else {
    return std::string();
  }
  size_t end = start;
  while (end < url.size() && end - start < 255) {
    unsigned char c = url[end];
    if (c == '/' || c == '?' || c == '#' || c == '"' || c == '\'' || c == '<' || c == '>' ||
        c == '\\' || IsSpace(c) || c < 0x20) {
      break;
    }
    ++end;
  }
  std::string_view authority = url.substr(start, end - start);
  size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  size_t colon = authority.find(':');
  if (colon != std::string_view::npos) authority = authority.substr(0, colon);
  std::string host;
  for (char c : authority) {
    unsigned char u = c;
    if (IsAlnum(u) || c == '.' || c == '-' || c == '_' || u >= 0x80) host.push_back(AsciiLower(c));
  }
  while (!host.empty() && host.back() == '.') host.pop_back();
  return host;
}

bool LooksLikeHtml(std::string_view body) {
  size_t window = std::min<size_t>(body.size(), 64 * 1024);
  std::string_view head = body.substr(0, window);
  for (std::string_view marker :
       {"<html", "<body", "<br", "<p>", "<div", "<table", "<font", "<a href", "<!doctype html"}) {
    if (FindIgnoringCase(head, marker) != std::string_view::npos) return true;
  }
  return false;
}

std::string HtmlToText(std::string_view html, size_t limit, std::vector<std::string>* tags,
                       std::vector<std::string>* hosts) {
  html = html.substr(0, std::min(limit, html.size()));
  std::string out;
  out.reserve(html.size() / 2);
  size_t i = 0;
  const size_t n = html.size();
  while (i < n) {
    char c = html[i];
    if (c == '&') {
      size_t used = DecodeEntity(html, i, &out);
      if (used == 0) {
        out.push_back('&');
        ++i;
      } else {
        i += used;
      }
      continue;
    }
    if (c != '<') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (StartsWithIgnoringCase(html.substr(i), "<!--")) {
      size_t close = html.find("-->", i + 4);
      i = close == std::string_view::npos ? n : close + 3;
      out.push_back(' ');
      continue;
    }
    size_t j = i + 1;
    bool closing = j < n && html[j] == '/';
    if (closing) ++j;
    if (j >= n || !(IsAlpha(html[j]) || html[j] == '!' || html[j] == '?')) {
      out.push_back('<');  // a bare '<' in text, as in "a < b"
      ++i;
      continue;
    }
    std::string name;
    while (j < n && (IsAlnum(html[j]) || html[j] == '!' || html[j] == '?')) {
      if (name.size() < 16) name.push_back(AsciiLower(html[j]));
      ++j;
    }
    // Attributes, up to the closing '>', honouring quotes so that a '>' inside a value does
    // not end the tag.
    while (j < n && html[j] != '>') {
      while (j < n && (IsSpace(html[j]) || html[j] == '/')) ++j;
      size_t name_start = j;
      while (j < n && !IsSpace(html[j]) && html[j] != '=' && html[j] != '>' && html[j] != '/') ++j;
      std::string_view attribute = html.substr(name_start, j - name_start);
      while (j < n && IsSpace(html[j])) ++j;
      if (j < n && html[j] == '=') {
        ++j;
        while (j < n && IsSpace(html[j])) ++j;
        size_t value_start, value_end;
        if (j < n && (html[j] == '"' || html[j] == '\'')) {
          char quote = html[j];
          value_start = ++j;
          size_t close = html.find(quote, j);
          value_end = close == std::string_view::npos ? n : close;
          j = value_end == n ? n : value_end + 1;
        } else {
          value_start = j;
          while (j < n && !IsSpace(html[j]) && html[j] != '>') ++j;
          value_end = j;
        }
        if (hosts != nullptr && !closing &&
            (StartsWithIgnoringCase(attribute, "href") ||
             StartsWithIgnoringCase(attribute, "src") ||
             StartsWithIgnoringCase(attribute, "action") ||
             StartsWithIgnoringCase(attribute, "background"))) {
          std::string value;
          std::string_view raw =
              html.substr(value_start, std::min<size_t>(value_end - value_start, 512));
          for (size_t k = 0; k < raw.size();) {
            size_t used = raw[k] == '&' ? DecodeEntity(raw, k, &value) : 0;
            if (used == 0)
              value.push_back(raw[k++]);
            else
              k += used;
          }
          std::string host = UrlHost(value);
          if (!host.empty() && hosts->size() < 256) hosts->push_back(std::move(host));
        }
      } else if (j == name_start && j < n && html[j] != '>') {
        ++j;  // a stray character that starts no attribute; move on
      }
    }
    i = j < n ? j + 1 : n;
    if (tags != nullptr && !closing && !name.empty() && tags->size() < 1024) tags->push_back(name);
    if (!closing && (name == "script" || name == "style")) {
      size_t close = FindIgnoringCase(html, name == "script" ? "</script" : "</style", i);
      i = close == std::string_view::npos ? n : close;
    }
    out.push_back(' ');
  }
  return out;
}

MailFeatures ExtractFeatures(std::string_view header, std::string_view body,
                             const FeatureOptions& options, bool with_names) {
  MailFeatures mail;
  mail.hashes.reserve(1024);
  FeatureSink sink(&mail.hashes, with_names ? &mail.names : nullptr, options.max_features);
  // Every mail has this one, so the model learns a prior and a new user starts from zero.
  sink.Add(kBias, [] { return std::string("prior"); });
  header = header.substr(0, std::min(header.size(), options.max_header_bytes));
  body = body.substr(0, std::min(body.size(), options.max_body_bytes));
  if (options.header_ngram_bytes > 0) {
    AddGrams(header, options.header_ngram_bytes, kSeedHeaderGram, &sink);
  }
  const std::vector<HeaderField> fields = ParseHeaderFields(header);
  if (options.header_tokens) AddHeader(fields, &sink);

  // The body is read before the header's last features, because the sender evidence weighs
  // the hosts that the body links to.
  std::string text_storage;
  std::string_view text = body;
  std::vector<std::string> tags, hosts;
  if (LooksLikeHtml(body)) {
    text_storage =
        HtmlToText(body, options.max_body_bytes, options.html_tags ? &tags : nullptr, &hosts);
    text = text_storage;
  }
  text = text.substr(0, std::min(text.size(), options.max_text_bytes));
  CollectTextUrls(text, &hosts);
  if (options.sender_evidence) AddSenderEvidence(fields, hosts, &sink);
  mail.header_count = mail.hashes.size();

  if (options.body_ngram_bytes > 0) AddGrams(body, options.body_ngram_bytes, kSeedBodyGram, &sink);
  for (const std::string& tag : tags) {
    sink.Add(HashBytes(tag, kSeedTag), [&] { return "html tag " + tag; });
  }
  if (options.link_hosts) {
    for (const std::string& host : hosts) AddHost(host, &sink);
  }
  if (options.body_words || options.body_osb) AddWords(text, options, &sink);
  return mail;
}

}  // namespace corvalith
