#include "classifier/header_fields.h"

#include <algorithm>
#include <array>

#include "classifier/ascii.h"
#include "platform/mail_header.h"
#include "platform/text.h"

namespace corvalith {

using ascii::IsHostChar;

constexpr size_t kMaxNameBytes = 64;

std::vector<HeaderField> ParseHeaderFields(std::string_view header, size_t max_fields,
                                           size_t max_value_bytes) {
  std::vector<HeaderField> fields;
  MailHeaderReader reader(header);
  while (std::optional<MailHeaderField> field = reader.Next()) {
    // A name longer than any real one makes the line no field.
    if (field->name.size() > kMaxNameBytes) continue;
    if (fields.size() >= max_fields) break;
    HeaderField& parsed = fields.emplace_back();
    parsed.name.resize(field->name.size());
    std::transform(field->name.begin(), field->name.end(), parsed.name.begin(), AsciiLower);
    parsed.value = field->Unfolded(max_value_bytes);
  }
  return fields;
}

namespace {

// The address of a field value: between the last '<' and its '>' when there are angle
// brackets, else the first word holding an '@'.
std::string_view Address(std::string_view value) {
  size_t open = value.find('<');
  if (open != std::string_view::npos) {
    size_t close = value.find('>', open);
    std::string_view inside = value.substr(
        open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1);
    if (inside.find('@') != std::string_view::npos) return inside;
  }
  size_t at = value.find('@');
  if (at == std::string_view::npos) return {};
  size_t start = at, end = at;
  auto stops = [](char c) {
    return ascii::IsSpace(c) || c == '<' || c == '>' || c == ',' || c == ';' || c == '"' ||
           c == '(' || c == ')';
  };
  while (start > 0 && !stops(value[start - 1])) --start;
  while (end < value.size() && !stops(value[end])) ++end;
  return value.substr(start, end - start);
}

}  // namespace

std::string AddressDomain(std::string_view value) {
  std::string_view address = Address(value);
  size_t at = address.rfind('@');
  if (at == std::string_view::npos) return {};
  std::string domain;
  for (char c : address.substr(at + 1)) {
    if (!IsHostChar(c) || domain.size() >= 255) break;
    domain.push_back(AsciiLower(c));
  }
  while (!domain.empty() && domain.back() == '.') domain.pop_back();
  return domain;
}

std::string AddressLocalPart(std::string_view value) {
  std::string_view address = Address(value);
  size_t at = address.rfind('@');
  if (at == std::string_view::npos) return {};
  return std::string(address.substr(0, std::min<size_t>(at, 64)));
}

std::string RegisteredDomain(std::string_view host) {
  std::string h;
  for (char c : host.substr(0, 255)) h.push_back(AsciiLower(c));
  while (!h.empty() && h.back() == '.') h.pop_back();
  if (std::all_of(h.begin(), h.end(), [](char c) { return ascii::IsDigit(c) || c == '.'; })) {
    return h;
  }
  size_t last = h.rfind('.');
  if (last == std::string::npos || last == 0) return h;
  size_t second = h.rfind('.', last - 1);
  if (second == std::string::npos) return h;
  // Under a two-letter country code the registries hand out names below generic second
  // levels: example.co.uk, example.com.au.
  static constexpr std::array<std::string_view, 12> kGeneric = {
      "co", "com", "net", "org", "gov", "edu", "ac", "or", "ne", "go", "ltd", "plc"};
  std::string_view level2 = std::string_view(h).substr(second + 1, last - second - 1);
  const bool country = h.size() - last - 1 == 2;
  if (country && std::find(kGeneric.begin(), kGeneric.end(), level2) != kGeneric.end()) {
    size_t third = second == 0 ? std::string::npos : h.rfind('.', second - 1);
    return third == std::string::npos ? h : h.substr(third + 1);
  }
  return h.substr(second + 1);
}

}  // namespace corvalith
