// ASCII character classes for the feature extractors: locale-free and byte-wise, so bytes of
// UTF-8 sequences (0x80 and up) are never letters, digits or blanks here. Case folding is
// platform/text.h's AsciiLower, the one every comparison of the project uses.
#ifndef CORVALITH_CLASSIFIER_ASCII_H_
#define CORVALITH_CLASSIFIER_ASCII_H_

namespace corvalith::ascii {

inline bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool IsAlpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool IsUpper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
inline bool IsAlnum(unsigned char c) { return IsDigit(c) || IsAlpha(c); }
inline bool IsSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}
// A byte of a host name as it appears in mail: letters, digits, '-', '.', '_'.
inline bool IsHostChar(unsigned char c) { return IsAlnum(c) || c == '-' || c == '.' || c == '_'; }

}  // namespace corvalith::ascii

#endif  // CORVALITH_CLASSIFIER_ASCII_H_
