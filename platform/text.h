// Text helpers shared by every layer. All text inside Norvane is UTF-8.
#ifndef NORVANE_PLATFORM_TEXT_H_
#define NORVANE_PLATFORM_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// Splits a ";"-joined configuration value: every piece before a ";" is an item (also an
// empty one), and a non-empty remainder after the last ";" is the last item.
// "a;b;" gives {a, b}; "a;;b" gives {a, "", b}; "" gives {}.
std::vector<std::string> SplitList(std::string_view value);

// Joins items, each followed by ";": {a, b} gives "a;b;".
std::string JoinList(const std::vector<std::string>& items);

// Comparison that folds ASCII letters only; every other byte, and so every multi-byte
// character, compares exactly.
int CompareNoCase(std::string_view a, std::string_view b);
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string ToLowerAscii(std::string_view text);

// Strict weak order for maps keyed case-insensitively.
struct LessNoCase {
  bool operator()(std::string_view a, std::string_view b) const { return CompareNoCase(a, b) < 0; }
};

// Drops leading blanks, blanks directly after a comma, and trailing blanks, the form in
// which distinguished names and filters are handed to the directory.
std::string NormaliseDnText(std::string_view text);

// True when text is well-formed UTF-8: shortest forms only, no surrogates, nothing past
// U+10FFFF.
bool IsValidUtf8(std::string_view text);

// The longest prefix of text that fits max_bytes without splitting a UTF-8 character.
std::string CutToBytes(std::string_view text, std::size_t max_bytes);

// Decimal parsing in the manner of atol: leading blanks and an optional sign, then digits;
// anything else ends the number, and no digits read as 0.
long ParseLong(std::string_view text);

// printf into a std::string, for log lines built from a format.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace norvane

#endif  // NORVANE_PLATFORM_TEXT_H_
