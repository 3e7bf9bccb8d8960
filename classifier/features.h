// Changing what a feature means (its phrase, seed or hash) changes what stored weights are for:
// raise the file versions as classifier/journaled_file.h says ("Raise the version whenever...").
//
// Turns a mail (raw transport header block plus the body text, HTML or plain) into a set of
// hashed features for the linear model: header-name-prefixed header tokens, body words,
// the hosts of links, HTML tag names, evidence about the sender (sender_evidence.h), and, for
// measurement, orthogonal sparse bigrams of body words and byte 4-grams.
//
// The input comes from strangers, so every stage is bounded: the bytes looked at per source,
// the length of a token, and the number of features per mail. Nothing recurses, so deeply
// nested HTML costs no stack. Pure functions; safe to call from any thread.
#ifndef CORVALITH_CLASSIFIER_FEATURES_H_
#define CORVALITH_CLASSIFIER_FEATURES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvalith {

struct FeatureOptions {
  bool header_tokens = true;
  bool body_words = true;
  bool body_osb = false;  // word pairs up to kOsbWindow-1 apart, with the distance in the feature
  bool html_tags = true;
  bool link_hosts = true;
  bool sender_evidence = true;
  size_t header_ngram_bytes = 0;  // byte 4-grams over the start of the header block
  size_t body_ngram_bytes = 0;    // byte 4-grams over the start of the body as delivered
  size_t max_header_bytes = 16 * 1024;
  size_t max_body_bytes = 256 * 1024;  // of the raw body; HTML is reduced to text within it
  size_t max_text_bytes = 48 * 1024;   // of the text that words are taken from
  size_t max_features = 8 * 1024;
};

inline constexpr int kOsbWindow = 5;
inline constexpr size_t kMaxTokenBytes = 40;

struct MailFeatures {
  // In order of extraction, with repeats, at most options.max_features: first those of the
  // header (its tokens and the sender evidence), then those of the body.
  std::vector<uint64_t> hashes;
  size_t header_count = 0;
  // Only when asked for: a readable name for each hash, at the same index.
  std::vector<std::string> names;
};

// The features of a mail. `with_names` is for the explain path; it costs a string a feature.
MailFeatures ExtractFeatures(std::string_view header, std::string_view body,
                             const FeatureOptions& options = FeatureOptions(),
                             bool with_names = false);

// Whether a body is HTML rather than plain text; decides how it is reduced to words.
bool LooksLikeHtml(std::string_view body);

// The visible text of an HTML document: tags become blanks, character references are decoded
// to UTF-8, script/style content and comments are dropped. Tag names (lower case) and the
// hosts of href/src links are appended to `tags` and `hosts` when those are given. Reads at
// most `limit` bytes of input.
std::string HtmlToText(std::string_view html, size_t limit, std::vector<std::string>* tags,
                       std::vector<std::string>* hosts);

// The host part of a URL ("http://User@Www.Example.COM:80/x" -> "www.example.com"), lower
// case; empty if the text is not an absolute http(s)/ftp URL or "www." name.
std::string UrlHost(std::string_view url);

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_FEATURES_H_
