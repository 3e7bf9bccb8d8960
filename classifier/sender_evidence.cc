#include "classifier/sender_evidence.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "classifier/ascii.h"
#include "classifier/features.h"
#include "platform/hash.h"
#include "platform/text.h"

namespace corvalith {

namespace {

constexpr uint64_t kSeedEvidence = 0x7f4a7c159e3779b9ULL;

void Add(std::string phrase, FeatureSink* sink) {
  sink->Add(HashBytes(phrase, kSeedEvidence), [&] { return phrase; });
}

const HeaderField* First(const std::vector<HeaderField>& fields, std::string_view name) {
  for (const HeaderField& field : fields) {
    if (field.name == name) return &field;
  }
  return nullptr;
}

// "0", "1", "2-3", "4-9", "10+": counts grouped so that a feature stays common.
std::string Bucket(size_t n) {
  if (n <= 1) return std::to_string(n);
  if (n <= 3) return "2-3";
  if (n <= 9) return "4-9";
  return "10+";
}

// Letters become 'a', digits '9', runs collapse, a run of five digits or more is "9+":
// "suz0123893616943" -> "a9+", "news-letter" -> "a-a", "vy4tyht6c8986" -> "a9a9a9".
std::string Shape(std::string_view text) {
  std::string shape;
  for (size_t i = 0; i < text.size() && shape.size() < 12;) {
    unsigned char c = text[i];
    size_t run = i;
    char kind;
    if (ascii::IsDigit(c)) {
      while (run < text.size() && ascii::IsDigit(text[run])) ++run;
      kind = '9';
    } else if (ascii::IsAlpha(c) || c >= 0x80) {
      while (run < text.size() && (ascii::IsAlpha(text[run]) || (unsigned char)text[run] >= 0x80))
        ++run;
      kind = 'a';
    } else {
      run = i + 1;
      kind = (c == '.' || c == '-' || c == '_' || c == '+') ? static_cast<char>(c) : '?';
    }
    shape.push_back(kind);
    if (kind == '9' && run - i >= 5) shape.push_back('+');
    i = run;
  }
  return shape;
}

// Registered domains of the hosts named in the "from" clauses of the Received fields: the
// machines the mail passed through on its way in.
std::vector<std::string> RelayDomains(const std::vector<HeaderField>& fields, size_t* received) {
  std::vector<std::string> domains;
  *received = 0;
  for (const HeaderField& field : fields) {
    if (field.name != "received" || ++*received > 12) continue;
    std::string value = LowerCase(field.value.substr(0, 512));
    size_t from = value.find("from ");
    if (from == std::string::npos) continue;
    size_t by = value.find(" by ", from);
    std::string_view clause = std::string_view(value).substr(
        from + 5, by == std::string::npos ? std::string::npos : by - from - 5);
    for (size_t i = 0; i < clause.size();) {
      size_t end = i;
      while (end < clause.size() && ascii::IsHostChar(clause[end])) ++end;
      std::string_view word = clause.substr(i, end - i);
      bool named = word.find('.') != std::string_view::npos &&
                   std::any_of(word.begin(), word.end(), [](char c) { return ascii::IsAlpha(c); });
      if (named && domains.size() < 32) domains.push_back(RegisteredDomain(word));
      i = end + 1;
    }
  }
  return domains;
}

void AddIdentity(const std::vector<HeaderField>& fields, std::string_view name,
                 const std::string& from_domain, FeatureSink* sink) {
  const HeaderField* field = First(fields, name);
  if (field == nullptr) return;
  std::string domain = AddressDomain(field->value);
  if (domain.empty()) return;
  Add(std::string("sender: from domain ") +
          (RegisteredDomain(domain) == from_domain ? "same as " : "differs from ") +
          std::string(name),
      sink);
}

// The hosts of a List-Unsubscribe field: mailto domains and web hosts.
void AddUnsubscribe(const std::vector<HeaderField>& fields, const std::string& from_domain,
                    FeatureSink* sink) {
  const HeaderField* field = First(fields, "list-unsubscribe");
  if (field == nullptr) return;
  bool any = false, same = false;
  std::string_view value = field->value;
  // Each target is read once: the next search starts after its '>'.
  for (size_t open = value.find('<'); open != std::string_view::npos && open < 1024;) {
    const size_t close = value.find('>', open);
    if (close == std::string_view::npos) break;
    std::string_view target = value.substr(open + 1, close - open - 1);
    open = value.find('<', close);
    std::string host =
        target.find('@') != std::string_view::npos ? AddressDomain(target) : UrlHost(target);
    if (host.empty()) continue;
    any = true;
    same = same || RegisteredDomain(host) == from_domain;
  }
  if (any) {
    Add(same ? "sender: unsubscribe at the from domain" : "sender: unsubscribe elsewhere", sink);
  }
}

// The domain an authentication result vouches for: the value of `property` ("header.d=")
// in a result clause, without a local part.
std::string ClauseDomain(std::string_view clause, std::string_view property) {
  size_t at = clause.find(property);
  if (at == std::string_view::npos) return {};
  std::string_view value = clause.substr(at + property.size());
  size_t end = 0;
  while (end < value.size() && !ascii::IsSpace(value[end]) && value[end] != ';') ++end;
  value = value.substr(0, end);
  size_t sign = value.rfind('@');
  if (sign != std::string_view::npos) value = value.substr(sign + 1);
  return RegisteredDomain(value);
}

bool KnownResult(std::string_view word) {
  static constexpr std::array<std::string_view, 8> kResults = {
      "pass", "fail", "softfail", "neutral", "none", "temperror", "permerror", "policy"};
  return std::find(kResults.begin(), kResults.end(), word) != kResults.end();
}

// Authentication-Results clauses "method=result property=value ...", for the methods that
// name a domain: "auth: dkim=pass", then whether the domain passed is the From domain.
void AddAuthenticationResults(const std::vector<HeaderField>& fields,
                              const std::string& from_domain, FeatureSink* sink) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kMethods = {{
      {"dkim", "header.d="},
      {"spf", "smtp.mailfrom="},
      {"dmarc", "header.from="},
      {"arc", ""},
  }};
  int seen = 0;
  for (const HeaderField& field : fields) {
    if (field.name != "authentication-results" || ++seen > 4) continue;
    std::string value = LowerCase(field.value.substr(0, 1024));
    size_t start = 0;
    while (start < value.size()) {
      size_t end = value.find(';', start);
      if (end == std::string::npos) end = value.size();
      std::string_view clause = std::string_view(value).substr(start, end - start);
      start = end + 1;
      while (!clause.empty() && ascii::IsSpace(clause.front())) clause.remove_prefix(1);
      for (const auto& [method, property] : kMethods) {
        if (clause.substr(0, method.size() + 1) != std::string(method) + "=") continue;
        std::string_view rest = clause.substr(method.size() + 1);
        size_t word_end = 0;
        while (word_end < rest.size() && ascii::IsAlpha(rest[word_end])) ++word_end;
        std::string_view result = rest.substr(0, word_end);
        if (!KnownResult(result)) break;
        Add("auth: " + std::string(method) + "=" + std::string(result), sink);
        if (result == "pass" && !property.empty()) {
          std::string domain = ClauseDomain(clause, property);
          if (!domain.empty()) {
            Add("auth: " + std::string(method) + " pass " +
                    (domain == from_domain ? "for the from domain" : "for another domain"),
                sink);
          }
        }
        break;
      }
    }
  }
  if (const HeaderField* signature = First(fields, "dkim-signature")) {
    std::string value = LowerCase(signature->value.substr(0, 2048));
    std::string_view tags = value;
    for (size_t at = tags.find("d="); at != std::string_view::npos; at = tags.find("d=", at + 1)) {
      if (at > 0 && tags[at - 1] != ';' && !ascii::IsSpace(tags[at - 1])) continue;
      std::string domain = ClauseDomain(tags.substr(at), "d=");
      if (domain.empty()) break;
      Add(domain == from_domain ? "auth: signed by the from domain"
                                : "auth: signed by another domain",
          sink);
      break;
    }
  }
  if (const HeaderField* spf = First(fields, "received-spf")) {
    std::string value = LowerCase(spf->value.substr(0, 64));
    size_t start = value.find_first_not_of(" \t");
    if (start != std::string::npos) {
      size_t end = start;
      while (end < value.size() && ascii::IsAlpha(value[end])) ++end;
      std::string_view result = std::string_view(value).substr(start, end - start);
      if (KnownResult(result)) Add("auth: received-spf " + std::string(result), sink);
    }
  }
}

void AddLinks(const std::vector<std::string>& link_hosts, const std::string& from_domain,
              FeatureSink* sink) {
  std::vector<std::string> domains;
  for (const std::string& host : link_hosts) {
    std::string domain = RegisteredDomain(host);
    if (std::find(domains.begin(), domains.end(), domain) == domains.end()) {
      domains.push_back(std::move(domain));
    }
  }
  if (domains.empty()) {
    Add("links: none", sink);
    return;
  }
  Add("links: to " + Bucket(domains.size()) + " domains", sink);
  if (from_domain.empty()) return;
  size_t same = std::count(domains.begin(), domains.end(), from_domain);
  Add(same == domains.size() ? "links: all to the from domain"
      : same > 0             ? "links: some to the from domain"
                             : "links: none to the from domain",
      sink);
}

size_t CountAddresses(const HeaderField* field) {
  return field == nullptr ? 0 : std::count(field->value.begin(), field->value.end(), '@');
}

// A zone offset of the Date field that no clock shows (-1900, +0099).
bool ImpossibleZone(std::string_view date) {
  size_t sign = date.find_last_of("+-");
  if (sign == std::string_view::npos || sign + 5 > date.size()) return false;
  std::string_view digits = date.substr(sign + 1, 4);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return ascii::IsDigit(c); })) {
    return false;
  }
  int hours = (digits[0] - '0') * 10 + (digits[1] - '0');
  int minutes = (digits[2] - '0') * 10 + (digits[3] - '0');
  return hours > 14 || minutes >= 60;
}

}  // namespace

void AddSenderEvidence(const std::vector<HeaderField>& fields,
                       const std::vector<std::string>& link_hosts, FeatureSink* sink) {
  const HeaderField* from = First(fields, "from");
  std::string from_domain = from ? RegisteredDomain(AddressDomain(from->value)) : std::string();
  if (from_domain.empty()) {
    Add("sender: no from address", sink);
  } else {
    Add("sender: local part shaped " + Shape(AddressLocalPart(from->value)), sink);
    if (from->value.find('<') == std::string::npos) Add("sender: no display name", sink);
    for (std::string_view name :
         {"return-path", "reply-to", "sender", "message-id", "errors-to", "list-id"}) {
      AddIdentity(fields, name, from_domain, sink);
    }
    AddUnsubscribe(fields, from_domain, sink);
  }
  size_t received = 0;
  std::vector<std::string> relays = RelayDomains(fields, &received);
  Add("relay: " + Bucket(received) + " received fields", sink);
  if (!from_domain.empty() && !relays.empty()) {
    bool among = std::find(relays.begin(), relays.end(), from_domain) != relays.end();
    Add(among ? "sender: from domain among the relays" : "sender: from domain not among the relays",
        sink);
  }
  AddAuthenticationResults(fields, from_domain, sink);
  AddLinks(link_hosts, from_domain, sink);
  Add("recipients: " +
          Bucket(CountAddresses(First(fields, "to")) + CountAddresses(First(fields, "cc"))),
      sink);
  if (First(fields, "message-id") == nullptr) Add("header: no message-id", sink);
  const HeaderField* date = First(fields, "date");
  if (date == nullptr) {
    Add("header: no date", sink);
  } else if (ImpossibleZone(date->value)) {
    Add("header: date in an impossible zone", sink);
  }
  if (const HeaderField* subject = First(fields, "subject")) {
    size_t letters = 0, capitals = 0;
    for (unsigned char c : subject->value) {
      letters += ascii::IsAlpha(c);
      capitals += ascii::IsUpper(c);
    }
    if (letters >= 8 && capitals * 10 >= letters * 6) Add("subject: mostly capitals", sink);
  }
}

}  // namespace corvalith
