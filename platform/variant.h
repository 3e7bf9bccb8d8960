// The automation variant the filter passes around: empty, null, 16- and 32-bit integers,
// Boolean and string, with the automation conversions (empty is 0 or "", a decimal text
// converts to its number, a non-numeric text to an integer is a type mismatch, null to
// anything is "Invalid use of Null").
#ifndef CORVALITH_PLATFORM_VARIANT_H_
#define CORVALITH_PLATFORM_VARIANT_H_

#include <cstdint>
#include <string>
#include <variant>

namespace corvalith {

class Variant {
 public:
  enum class Type { kEmpty, kNull, kInt16, kInt32, kBool, kString };

  Variant() = default;
  static Variant Null();
  static Variant Int16(int16_t value);
  static Variant Int32(int32_t value);
  static Variant Bool(bool value);
  static Variant String(std::string value);

  Type type() const;
  bool IsEmpty() const { return type() == Type::kEmpty; }
  bool IsNull() const { return type() == Type::kNull; }

  // Conversions; each throws Failure where the automation conversion fails.
  int32_t ToInt32() const;
  std::string ToString() const;

  // The comparison "v <> Empty": false for empty, 0, False and "", true otherwise. Null
  // never differs (a comparison with null is not true).
  bool DiffersFromEmpty() const;

  bool operator==(const Variant& other) const = default;

 private:
  struct NullTag {
    bool operator==(const NullTag&) const = default;
  };
  using Storage = std::variant<std::monostate, NullTag, int16_t, int32_t, bool, std::string>;
  explicit Variant(Storage storage) : storage_(std::move(storage)) {}

  Storage storage_;
};

// Parses a decimal text the way the automation conversion does: blanks around it allowed,
// an optional sign, digits. Throws type mismatch for anything else and overflow for a
// number outside 32 bits.
int32_t ParseDecimalInt32(const std::string& text);

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_VARIANT_H_
