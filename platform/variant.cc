#include "platform/variant.h"

#include <limits>

#include "platform/failure.h"

namespace corvalith {

// Each factory emplaces into a default-constructed variant: building a temporary Storage and
// moving it in trips GCC 12's -Wmaybe-uninitialized under the sanitizers.
Variant Variant::Null() {
  Variant v;
  v.storage_.emplace<NullTag>();
  return v;
}
Variant Variant::Int16(int16_t value) {
  Variant v;
  v.storage_.emplace<int16_t>(value);
  return v;
}
Variant Variant::Int32(int32_t value) {
  Variant v;
  v.storage_.emplace<int32_t>(value);
  return v;
}
Variant Variant::Bool(bool value) {
  Variant v;
  v.storage_.emplace<bool>(value);
  return v;
}
Variant Variant::String(std::string value) {
  Variant v;
  v.storage_.emplace<std::string>(std::move(value));
  return v;
}

Variant::Type Variant::type() const { return static_cast<Type>(storage_.index()); }

int32_t ParseDecimalInt32(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
    negative = text[pos] == '-';
    ++pos;
  }
  size_t digits_start = pos;
  int64_t value = 0;
  bool overflow = false;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos] - '0');
    if (value > int64_t{1} << 32) overflow = true, value = int64_t{1} << 32;
    ++pos;
  }
  size_t digits_end = pos;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  if (digits_end == digits_start || pos != text.size()) throw Failure::TypeMismatch();
  if (negative) value = -value;
  if (overflow || value < std::numeric_limits<int32_t>::min() ||
      value > std::numeric_limits<int32_t>::max()) {
    throw Failure::Overflow();
  }
  return static_cast<int32_t>(value);
}

int32_t Variant::ToInt32() const {
  switch (type()) {
    case Type::kEmpty:
      return 0;
    case Type::kNull:
      throw Failure::InvalidUseOfNull();
    case Type::kInt16:
      return std::get<int16_t>(storage_);
    case Type::kInt32:
      return std::get<int32_t>(storage_);
    case Type::kBool:
      return std::get<bool>(storage_) ? -1 : 0;
    case Type::kString:
      return ParseDecimalInt32(std::get<std::string>(storage_));
  }
  throw Failure::TypeMismatch();
}

std::string Variant::ToString() const {
  switch (type()) {
    case Type::kEmpty:
      return "";
    case Type::kNull:
      throw Failure::InvalidUseOfNull();
    case Type::kInt16:
      return std::to_string(std::get<int16_t>(storage_));
    case Type::kInt32:
      return std::to_string(std::get<int32_t>(storage_));
    case Type::kBool:
      return std::get<bool>(storage_) ? "True" : "False";
    case Type::kString:
      return std::get<std::string>(storage_);
  }
  throw Failure::TypeMismatch();
}

bool Variant::DiffersFromEmpty() const {
  switch (type()) {
    case Type::kEmpty:
    case Type::kNull:
      return false;
    case Type::kInt16:
      return std::get<int16_t>(storage_) != 0;
    case Type::kInt32:
      return std::get<int32_t>(storage_) != 0;
    case Type::kBool:
      return std::get<bool>(storage_);
    case Type::kString:
      return !std::get<std::string>(storage_).empty();
  }
  return false;
}

}  // namespace corvalith
