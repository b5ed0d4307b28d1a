#include "platform/text.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace norvane {

std::vector<std::string> SplitList(std::string_view value) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (true) {
    std::size_t semi = value.find(';', start);
    if (semi == std::string_view::npos) break;
    items.emplace_back(value.substr(start, semi - start));
    start = semi + 1;
  }
  if (start < value.size()) items.emplace_back(value.substr(start));
  return items;
}

std::string JoinList(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    out += item;
    out += ';';
  }
  return out;
}

namespace {
inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}
}  // namespace

int CompareNoCase(std::string_view a, std::string_view b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char ca = FoldAscii(static_cast<unsigned char>(a[i]));
    unsigned char cb = FoldAscii(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

std::string ToLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(FoldAscii(static_cast<unsigned char>(c)));
  return out;
}

std::string NormaliseDnText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool skipping = true;  // at the start, and after every comma
  for (char c : text) {
    if (skipping && c == ' ') continue;
    skipping = (c == ',');
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

bool IsValidUtf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size(), i = 0;
  while (i < n) {
    unsigned char c = s[i];
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xe0) == 0xc0) {
      len = 2;
      cp = c & 0x1f;
    } else if ((c & 0xf0) == 0xe0) {
      len = 3;
      cp = c & 0x0f;
    } else if ((c & 0xf8) == 0xf0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3f);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
      return false;
    }
    i += len;
  }
  return true;
}

std::string CutToBytes(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  std::size_t end = max_bytes;
  // Step back over continuation bytes (10xxxxxx) so the cut lands on a character start.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

long ParseLong(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                             text[i] == '\r' || text[i] == '\f' || text[i] == '\v'))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate in unsigned arithmetic so that out-of-range input wraps instead of
  // overflowing; the callers keep only the bits their field holds.
  unsigned long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  return static_cast<long>(negative ? (0UL - value) : value);
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, format, args);
  va_end(args);
  return out;
}

}  // namespace norvane
