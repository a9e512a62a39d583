// The forms a .proto source takes, as the Python printer writes them: the
// lines being written, option brackets, the units fields print in (a
// field, a oneof), the nested types that fields declare (map entries,
// groups) and synthetic oneofs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "descriptor_view.h"
#include "proto_printer.h"

namespace ravick::printer {

// One past the largest field number.
inline constexpr int64_t MAX_FIELD_END = 536870912;
inline constexpr int64_t MAX_INT32 = 2147483647;
inline constexpr size_t INLINE_WIDTH = 88;

inline constexpr int32_t LABEL_OPTIONAL = 1;
inline constexpr int32_t LABEL_REQUIRED = 2;
inline constexpr int32_t LABEL_REPEATED = 3;
inline constexpr int32_t TYPE_FLOAT = 2;
inline constexpr int32_t TYPE_DOUBLE = 1;
inline constexpr int32_t TYPE_BOOL = 8;
inline constexpr int32_t TYPE_STRING = 9;
inline constexpr int32_t TYPE_GROUP = 10;
inline constexpr int32_t TYPE_MESSAGE = 11;
inline constexpr int32_t TYPE_BYTES = 12;
inline constexpr int32_t TYPE_ENUM = 14;

inline constexpr int32_t EDITION_2023 = 1000;
inline constexpr int32_t EDITION_2024 = 1001;
inline constexpr int32_t EDITION_UNSTABLE = 9999;

inline constexpr uint32_t FIELD_FEATURES = 21;
inline constexpr uint32_t MESSAGE_MAP_ENTRY = 7;

// Thrown where the Python printer writes a note: the file goes to it.
struct Declined {};

// The type's name in a source, the unstable edition's names with
// `unstable`; nothing for a message, enum or group.
const char* scalar_name(int32_t type, bool unstable);
bool is_map_key(int32_t type);
std::string join_name(std::string_view scope, std::string_view name);
std::string lower(std::string_view text);

// The text of an assignment's lines, `suffix` after its value.
std::vector<std::string> assignment_lines(const Assignment& a,
                                          std::string_view suffix);
// `head` with its [...] options, on one line when they fit.
std::vector<std::string> bracketed(const std::string& head,
                                   const std::vector<Assignment>& pseudo,
                                   const std::vector<Assignment>& options);

class Writer {
 public:
  std::vector<std::string> lines;
  int depth = 0;

  void add(std::string_view text) {
    if (text.empty()) {
      lines.emplace_back();
      return;
    }
    std::string line(static_cast<size_t>(2 * depth), ' ');
    line += text;
    lines.push_back(std::move(line));
  }

  void gap() {
    if (!lines.empty() && !lines.back().empty() && lines.back().back() != '{') {
      lines.emplace_back();
    }
  }

  void trim() {
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
  }

  void add_lines(const std::vector<std::string>& text, std::string_view end) {
    for (size_t k = 0; k + 1 < text.size(); ++k) add(text[k]);
    add(text.back() + std::string(end));
  }

  std::string joined() const {
    size_t size = 0;
    for (const std::string& line : lines) size += line.size() + 1;
    std::string out;
    out.reserve(size);
    for (const std::string& line : lines) {
      out += line;
      out += '\n';
    }
    return out;
  }
};

// A file or message body: what it declares.
struct Scope {
  std::string full_name;
  const std::vector<MessageView>* messages;
  const std::vector<EnumView>* enums;
  const std::vector<FieldView>* extensions;
  const std::vector<FieldView>* fields;
  const std::vector<OneofView>* oneofs;
};

// Nested types that fields declare: map entries and groups, by field index.
struct Implicit {
  std::map<size_t, size_t> map_entries;
  std::map<size_t, size_t> field_groups;
  std::map<size_t, size_t> extension_groups;
};

// Fields printed together: one field, or the members of one oneof.
struct Unit {
  std::vector<size_t> fields;
  bool in_oneof = false;
  int32_t oneof = 0;
};

std::vector<Unit> field_units(const std::vector<FieldView>& fields);
// Whether a proto3 optional field's synthetic oneof has a name other than
// the one protoc derives (which a source cannot give it).
bool renames_synthetic_oneof(const MessageView& message);
// The options protoc gives the key and value of a map field: its features.
std::string features_only(const FieldView& f);
bool is_plain_map_entry(const MessageView& entry, std::string_view options);
bool is_map_entry_message(const MessageView& m);

}  // namespace ravick::printer
