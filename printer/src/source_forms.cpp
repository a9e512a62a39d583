#include "source_forms.h"

#include <algorithm>
#include <set>

#include "proto_text.h"

namespace ravick::printer {
namespace {

std::map<int32_t, std::vector<size_t>> oneof_members(
    const std::vector<FieldView>& fields) {
  std::map<int32_t, std::vector<size_t>> members;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].has_oneof_index) members[fields[i].oneof_index].push_back(i);
  }
  return members;
}

std::set<int32_t> synthetic_oneofs(
    const std::vector<FieldView>& fields,
    const std::map<int32_t, std::vector<size_t>>& members) {
  std::set<int32_t> synthetic;
  for (const auto& [k, indexes] : members) {
    if (indexes.size() == 1 && fields[indexes[0]].proto3_optional)
      synthetic.insert(k);
  }
  return synthetic;
}

bool is_plain_entry_field(const FieldView& f, std::string_view options) {
  return f.label == LABEL_OPTIONAL &&
         (!f.has_options || f.options == options) && !f.has_oneof_index &&
         !f.has_default && !f.has_extendee && !f.proto3_optional &&
         (f.json_name.empty() || f.json_name == f.name);
}

}  // namespace

const char* scalar_name(int32_t type, bool unstable) {
  static const char* const plain[] = {
      nullptr,   "double",   "float",    "int64",  "uint64", "int32", "fixed64",
      "fixed32", "bool",     "string",   nullptr,  nullptr,  "bytes", "uint32",
      nullptr,   "sfixed32", "sfixed64", "sint32", "sint64"};
  static const char* const renamed[] = {
      nullptr,    "double", "float",    "varint64",  "uvarint64",
      "varint32", "uint64", "uint32",   "bool",      "string",
      nullptr,    nullptr,  "bytes",    "uvarint32", nullptr,
      "int32",    "int64",  "zigzag32", "zigzag64"};
  if (type < 1 || type > 18) return nullptr;
  return (unstable ? renamed : plain)[type];
}

bool is_map_key(int32_t type) {
  return scalar_name(type, false) != nullptr && type != TYPE_DOUBLE &&
         type != TYPE_FLOAT && type != TYPE_BYTES;
}

std::string join_name(std::string_view scope, std::string_view name) {
  std::string out(scope);
  if (!scope.empty()) out += '.';
  out += name;
  return out;
}

// The text of an assignment's lines, `suffix` after its value.
std::vector<std::string> assignment_lines(const Assignment& a,
                                          std::string_view suffix) {
  std::vector<std::string> lines;
  std::string first = a.name + " = " + a.value.front();
  if (a.value.size() == 1) {
    lines.push_back(first + std::string(suffix));
    return lines;
  }
  lines.push_back(std::move(first));
  for (size_t k = 1; k + 1 < a.value.size(); ++k) lines.push_back(a.value[k]);
  lines.push_back(a.value.back() + std::string(suffix));
  return lines;
}

// `head` with its [...] options, on one line when they fit.
std::vector<std::string> bracketed(const std::string& head,
                                   const std::vector<Assignment>& pseudo,
                                   const std::vector<Assignment>& options) {
  std::vector<const Assignment*> items;
  for (const Assignment& a : pseudo) items.push_back(&a);
  for (const Assignment& a : options) items.push_back(&a);
  if (items.empty()) return {head};
  const bool single =
      std::all_of(items.begin(), items.end(),
                  [](const Assignment* a) { return a->value.size() == 1; });
  if (single) {
    std::string line = head + " [";
    for (size_t k = 0; k < items.size(); ++k) {
      if (k > 0) line += ", ";
      line += items[k]->name + " = " + items[k]->value.front();
    }
    line += "]";
    if (char_count(line) <= INLINE_WIDTH) return {line};
  }
  std::vector<std::string> lines{head + " ["};
  for (size_t k = 0; k < items.size(); ++k) {
    const char* suffix = k + 1 < items.size() ? "," : "";
    for (std::string& line : assignment_lines(*items[k], suffix)) {
      lines.push_back("  " + line);
    }
  }
  lines.emplace_back("]");
  return lines;
}

std::vector<Unit> field_units(const std::vector<FieldView>& fields) {
  const auto members = oneof_members(fields);
  std::vector<Unit> units;
  if (members.empty()) {
    for (size_t i = 0; i < fields.size(); ++i) units.push_back({{i}, false, 0});
    return units;
  }
  const auto synthetic = synthetic_oneofs(fields, members);
  for (size_t i = 0; i < fields.size(); ++i) {
    const FieldView& f = fields[i];
    if (!f.has_oneof_index || synthetic.count(f.oneof_index) > 0) {
      units.push_back({{i}, false, 0});
    } else if (members.at(f.oneof_index).front() == i) {
      units.push_back({members.at(f.oneof_index), true, f.oneof_index});
    }
  }
  return units;
}

// Whether a proto3 optional field's synthetic oneof has a name other than
// the one protoc derives (which a source cannot give it).
bool renames_synthetic_oneof(const MessageView& message) {
  if (message.oneofs.empty()) return false;
  const auto synthetic =
      synthetic_oneofs(message.fields, oneof_members(message.fields));
  std::set<std::string> names;
  for (const FieldView& f : message.fields) names.emplace(f.name);
  for (size_t k = 0; k < message.oneofs.size(); ++k) {
    if (synthetic.count(static_cast<int32_t>(k)) == 0)
      names.emplace(message.oneofs[k].name);
  }
  for (const FieldView& f : message.fields) {
    if (!f.proto3_optional || synthetic.count(f.oneof_index) == 0) continue;
    if (f.oneof_index < 0 ||
        static_cast<size_t>(f.oneof_index) >= message.oneofs.size()) {
      throw Declined{};
    }
    const std::string base = !f.name.empty() && f.name.front() == '_'
                                 ? std::string(f.name)
                                 : std::string("_").append(f.name);
    std::string derived = base;
    for (size_t xs = 1; names.count(derived) > 0; ++xs) {
      derived = std::string(xs, 'X').append(base);
    }
    names.insert(derived);
    if (message.oneofs[static_cast<size_t>(f.oneof_index)].name != derived)
      return true;
  }
  return false;
}

// The options protoc gives the key and value of a map field: its features.
std::string features_only(const FieldView& f) {
  std::string_view features;
  if (!f.has_options || !last_bytes(f.options, FIELD_FEATURES, &features))
    return "";
  std::string out = "\xAA\x01";
  uint64_t n = features.size();
  do {
    uint8_t b = n & 0x7F;
    n >>= 7;
    if (n != 0) b |= 0x80;
    out += static_cast<char>(b);
  } while (n != 0);
  out += features;
  return out;
}

bool is_plain_map_entry(const MessageView& entry, std::string_view options) {
  if (!entry.nested.empty() || !entry.enums.empty() ||
      !entry.extensions.empty() || !entry.extension_ranges.empty() ||
      !entry.oneofs.empty() || !entry.reserved.empty() ||
      !entry.reserved_names.empty() || !entry.has_options ||
      entry.options != std::string_view("\x38\x01", 2) ||
      entry.fields.size() != 2) {
    return false;
  }
  const FieldView& key = entry.fields[0];
  const FieldView& value = entry.fields[1];
  return key.name == "key" && key.number == 1 && value.name == "value" &&
         value.number == 2 && is_plain_entry_field(key, options) &&
         is_plain_entry_field(value, options) && is_map_key(key.type) &&
         value.type != TYPE_GROUP;
}

bool is_map_entry_message(const MessageView& m) {
  uint64_t value = 0;
  return m.has_options && last_varint(m.options, MESSAGE_MAP_ENTRY, &value) &&
         value != 0;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

}  // namespace ravick::printer
