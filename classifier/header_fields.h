// The fields of a raw header block and the domains named in them. Input from strangers:
// bounded in fields and bytes, never recursive. Pure functions; safe from any thread.
#ifndef CORVALITH_CLASSIFIER_HEADER_FIELDS_H_
#define CORVALITH_CLASSIFIER_HEADER_FIELDS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvalith {

struct HeaderField {
  std::string name;   // lower case
  std::string value;  // continuation lines joined with their leading blank, line ends dropped
};

// The fields in order, at most `max_fields`, each value at most `max_value_bytes`. A line
// that is neither a field ("name:" with a name of 1 to 64 bytes) nor a continuation ends the
// current field and is skipped.
std::vector<HeaderField> ParseHeaderFields(std::string_view header, size_t max_fields = 256,
                                           size_t max_value_bytes = 4096);

// The domain of the first mail address in a field value ("Ann <ann@Mail.Example.com>" ->
// "mail.example.com"), lower case; empty when there is none.
std::string AddressDomain(std::string_view value);

// The local part of that address, as written; empty when there is none.
std::string AddressLocalPart(std::string_view value);

// The part of a host name that its owner registered: the last two labels, or three under a
// country's generic second level ("www.shop.example.co.uk" -> "example.co.uk"). A numeric
// address stays whole. Lower case; empty for an empty host.
std::string RegisteredDomain(std::string_view host);

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_HEADER_FIELDS_H_
