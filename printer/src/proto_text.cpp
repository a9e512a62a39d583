#include "proto_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace ravick::printer {
namespace {

bool is_head(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool is_tail(char c) { return is_head(c) || (c >= '0' && c <= '9'); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_octal(char c) { return c >= '0' && c <= '7'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!is_digit(c)) return false;
  }
  return true;
}

std::string_view without_prefix(std::string_view text, char prefix) {
  if (!text.empty() && text.front() == prefix) text.remove_prefix(1);
  return text;
}

void append_escaped(std::string& out, uint8_t b) {
  switch (b) {
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    case '"':
      out += "\\\"";
      return;
    case '\'':
      out += "\\'";
      return;
    case '\\':
      out += "\\\\";
      return;
    default:
      break;
  }
  if (b >= 0x20 && b < 0x7F) {
    out += static_cast<char>(b);
    return;
  }
  out += '\\';
  out += static_cast<char>('0' + (b >> 6));
  out += static_cast<char>('0' + ((b >> 3) & 7));
  out += static_cast<char>('0' + (b & 7));
}

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

std::string camel_case(std::string_view name, bool upper_first) {
  std::string out;
  out.reserve(name.size());
  bool capital = upper_first;
  for (char c : name) {
    if (c == '_') {
      capital = true;
      continue;
    }
    out += capital ? upper(c) : c;
    capital = false;
  }
  return out;
}

}  // namespace

bool is_identifier(std::string_view name) {
  if (name.empty() || !is_head(name.front())) return false;
  for (char c : name.substr(1)) {
    if (!is_tail(c)) return false;
  }
  return true;
}

bool is_dotted_name(std::string_view name) {
  name = without_prefix(name, '.');
  size_t start = 0;
  for (;;) {
    const size_t dot = name.find('.', start);
    if (!is_identifier(name.substr(start, dot - start))) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

std::string quoted_bytes(std::string_view data) {
  std::string out = "\"";
  for (char c : data) append_escaped(out, static_cast<uint8_t>(c));
  out += '"';
  return out;
}

std::optional<std::string> quoted_text(std::string_view data) {
  for (char c : data) {
    if (static_cast<uint8_t>(c) >= 0x80) return std::nullopt;
  }
  return quoted_bytes(data);
}

std::string c_unescape(std::string_view raw) {
  std::string out;
  size_t i = 0;
  while (i < raw.size()) {
    const char b = raw[i];
    if (b != '\\' || i + 1 == raw.size()) {
      out += b;
      ++i;
      continue;
    }
    ++i;
    const char c = raw[i];
    switch (c) {
      case 'n':
        out += '\n';
        ++i;
        continue;
      case 'r':
        out += '\r';
        ++i;
        continue;
      case 't':
        out += '\t';
        ++i;
        continue;
      case 'a':
        out += '\a';
        ++i;
        continue;
      case 'b':
        out += '\b';
        ++i;
        continue;
      case 'f':
        out += '\f';
        ++i;
        continue;
      case 'v':
        out += '\v';
        ++i;
        continue;
      case '\\':
      case '\'':
      case '"':
      case '?':
        out += c;
        ++i;
        continue;
      default:
        break;
    }
    if (is_octal(c)) {
      unsigned value = 0;
      size_t end = i;
      while (end < raw.size() && end < i + 3 && is_octal(raw[end])) {
        value = value * 8 + static_cast<unsigned>(raw[end] - '0');
        ++end;
      }
      out += static_cast<char>(value & 0xFF);
      i = end;
    } else if ((c == 'x' || c == 'X') && i + 1 < raw.size() &&
               hex_value(raw[i + 1]) >= 0) {
      unsigned value = 0;
      size_t end = i + 1;
      while (end < raw.size() && end < i + 3 && hex_value(raw[end]) >= 0) {
        value = value * 16 + static_cast<unsigned>(hex_value(raw[end]));
        ++end;
      }
      out += static_cast<char>(value);
      i = end;
    } else {
      out += '\\';
      out += c;
      ++i;
    }
  }
  return out;
}

std::string derived_json_name(std::string_view name) {
  if (name.find('_') == std::string_view::npos) return std::string(name);
  return camel_case(name, false);
}

std::string map_entry_name(std::string_view field_name) {
  return camel_case(field_name, true) + "Entry";
}

bool is_int_literal(std::string_view text) {
  return all_digits(without_prefix(text, '-'));
}

bool is_float_literal(std::string_view text) {
  const std::string_view body = without_prefix(text, '-');
  if (body == "inf" || body == "nan") return true;
  std::string lower(body);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  const std::string_view all = lower;
  const size_t e = all.find('e');
  const std::string_view mantissa = all.substr(0, e);
  if (e != std::string_view::npos && e + 1 < all.size()) {
    std::string_view exponent = all.substr(e + 1);
    exponent = without_prefix(without_prefix(exponent, '+'), '-');
    if (!all_digits(exponent)) return false;
  }
  const size_t dot = mantissa.find('.');
  std::string digits(mantissa.substr(0, dot));
  if (dot != std::string_view::npos) digits += mantissa.substr(dot + 1);
  return all_digits(digits);
}

size_t char_count(std::string_view text) {
  size_t n = 0;
  for (char c : text) n += (static_cast<uint8_t>(c) & 0xC0) != 0x80;
  return n;
}

namespace {

// Python's repr of a double: the shortest digits that read back, fixed
// from 1e-4 up to 1e16 (with ".0" when integral), else with an exponent of
// at least two digits.
std::string python_repr(double value) {
  char buf[64];
  const auto done = std::to_chars(buf, buf + sizeof buf, value,
                                  std::chars_format::scientific);
  std::string_view text(buf, static_cast<size_t>(done.ptr - buf));
  std::string out;
  if (!text.empty() && text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  const int point = exponent + 1;  // digits are 0.DDD times 10^point
  const int count = static_cast<int>(digits.size());
  if (point <= -4 || point > 16) {
    out += digits.front();
    if (count > 1) out.append(".").append(digits, 1);
    char tail[16];
    std::snprintf(tail, sizeof tail, "e%+.02d", exponent);
    return out + tail;
  }
  if (point <= 0) return out.append("0.").append(-point, '0').append(digits);
  if (point < count) {
    return out.append(digits, 0, point).append(".").append(digits, point);
  }
  return out.append(digits).append(point - count, '0').append(".0");
}

}  // namespace

std::string float_text(double value, bool single) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (single) {
    for (int digits = 1; digits < 10; ++digits) {
      // printf's %g in the "C" locale, as Python formats it.
      char text[64];
      const auto done = std::to_chars(text, text + sizeof text, value,
                                      std::chars_format::general, digits);
      const std::string_view literal(text,
                                     static_cast<size_t>(done.ptr - text));
      double back = 0;
      std::from_chars(literal.data(), literal.data() + literal.size(), back);
      const float narrowed = static_cast<float>(back);
      if (std::isinf(narrowed)) continue;  // rounded past the largest float
      if (static_cast<double>(narrowed) == value) return std::string(literal);
    }
  }
  return python_repr(value);
}

}  // namespace ravick::printer
