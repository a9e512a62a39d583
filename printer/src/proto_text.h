// Text of names and literals as protoc reads them, spelled as the Python
// printer spells them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ravick::printer {

// One identifier: [A-Za-z_][A-Za-z0-9_]*.
bool is_identifier(std::string_view name);

// Identifiers joined by dots, with an optional leading dot.
bool is_dotted_name(std::string_view name);

// A double-quoted literal of `data`, every byte outside printable ASCII an
// octal escape.
std::string quoted_bytes(std::string_view data);

// The same for a string's text; nothing when it holds a byte past ASCII,
// which the Python printer may keep as a character.
std::optional<std::string> quoted_text(std::string_view data);

// The bytes that a C-escaped `bytes` default stands for; malformed escapes
// are kept as they are.
std::string c_unescape(std::string_view text);

// protoc's names derived from a field's: its JSON name and its map entry's.
std::string derived_json_name(std::string_view name);
std::string map_entry_name(std::string_view field_name);

bool is_int_literal(std::string_view text);
bool is_float_literal(std::string_view text);

// The shortest literal that reads back as `value` (as a float if `single`),
// spelled as Python spells it.
std::string float_text(double value, bool single);

// The number of characters of UTF-8 text.
size_t char_count(std::string_view text);

}  // namespace ravick::printer
