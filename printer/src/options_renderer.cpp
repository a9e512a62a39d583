#include "options_renderer.h"

#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "proto_text.h"
#include "wire_reader.h"

namespace ravick::printer {
namespace {

constexpr int32_t TYPE_DOUBLE = 1;
constexpr int32_t TYPE_FLOAT = 2;
constexpr int32_t TYPE_INT64 = 3;
constexpr int32_t TYPE_INT32 = 5;
constexpr int32_t TYPE_FIXED64 = 6;
constexpr int32_t TYPE_FIXED32 = 7;
constexpr int32_t TYPE_BOOL = 8;
constexpr int32_t TYPE_STRING = 9;
constexpr int32_t TYPE_GROUP = 10;
constexpr int32_t TYPE_MESSAGE = 11;
constexpr int32_t TYPE_UINT32 = 13;
constexpr int32_t TYPE_ENUM = 14;
constexpr int32_t TYPE_SFIXED32 = 15;
constexpr int32_t TYPE_SFIXED64 = 16;
constexpr int32_t TYPE_SINT32 = 17;
constexpr int32_t TYPE_SINT64 = 18;
constexpr int32_t LABEL_REPEATED = 3;

constexpr uint32_t UNINTERPRETED = 999;
constexpr uint32_t MESSAGE_SET_WIRE_FORMAT = 1;  // of MessageOptions
constexpr int MAX_AGGREGATE_DEPTH = 64;
constexpr size_t INLINE_WIDTH = 72;

bool is_fixed64(int32_t t) {
  return t == TYPE_DOUBLE || t == TYPE_FIXED64 || t == TYPE_SFIXED64;
}
bool is_fixed32(int32_t t) {
  return t == TYPE_FLOAT || t == TYPE_FIXED32 || t == TYPE_SFIXED32;
}
bool is_varint(int32_t t) {
  return t == TYPE_INT32 || t == TYPE_INT64 || t == 4 /* uint64 */ ||
         t == TYPE_UINT32 || t == TYPE_SINT32 || t == TYPE_SINT64 ||
         t == TYPE_BOOL || t == TYPE_ENUM;
}

uint32_t expected_wire(int32_t type) {
  if (is_varint(type)) return VARINT;
  if (is_fixed64(type)) return I64;
  if (is_fixed32(type)) return I32;
  if (type == TYPE_GROUP) return SGROUP;
  return LEN;
}

bool is_scalar(int32_t t) {
  return is_varint(t) || is_fixed32(t) || is_fixed64(t);
}

// Calls on(element) for each element of packed scalars, as entries of the
// wire type of one; a malformed tail is dropped. False when on refuses one.
template <class On>
bool each_packed(const FieldView& f, const Entry& e, On&& on) {
  Reader packed(e.bytes);
  const uint32_t wire = is_varint(f.type)    ? VARINT
                        : is_fixed32(f.type) ? I32
                                             : I64;
  while (!packed.done()) {
    Entry element;
    element.number = 1;
    element.wire = wire;
    const bool ok = wire == VARINT
                        ? packed.varint(element.varint)
                        : packed.fixed(wire == I32 ? 4 : 8, element.varint);
    if (!ok) break;
    if (!on(element)) return false;
  }
  return true;
}

bool parse(std::string_view data, std::vector<Entry>& out) {
  Reader reader(data);
  while (!reader.done()) {
    out.emplace_back();
    if (!reader.next(out.back())) return false;
  }
  return true;
}

// A scalar's value as the Python renderer writes it.
std::string integer_text(int32_t type, uint64_t raw) {
  switch (type) {
    case TYPE_INT64:
    case TYPE_SFIXED64:
      return std::to_string(static_cast<int64_t>(raw));
    case TYPE_INT32:
    case TYPE_SFIXED32:
      return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(raw)));
    case TYPE_UINT32:
    case TYPE_FIXED32:
      return std::to_string(raw & 0xFFFFFFFFu);
    case TYPE_SINT32: {
      const uint64_t v = raw & 0xFFFFFFFFu;
      return std::to_string(static_cast<int64_t>((v >> 1) ^ (0 - (v & 1))));
    }
    case TYPE_SINT64:
      return std::to_string(static_cast<int64_t>((raw >> 1) ^ (0 - (raw & 1))));
    default:
      return std::to_string(raw);
  }
}

// The value of a float or double field from its fixed bits.
double floating(int32_t type, uint64_t raw) {
  if (type == TYPE_FLOAT) {
    const uint32_t bits = static_cast<uint32_t>(raw);
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  double value = 0;
  std::memcpy(&value, &raw, sizeof value);
  return value;
}

std::string_view type_key(std::string_view name) {
  if (!name.empty() && name.front() == '.') name.remove_prefix(1);
  return name;
}

// Where a field is declared: its message or package, and its file's name.
struct Where {
  std::string scope;
  std::optional<std::string_view> file;
};

// Thrown where the Python renderer must render the options instead.
struct Deferred {};

class Renderer {
 public:
  Renderer(Symbols& symbols, Rendered& out) : symbols_(symbols), out_(out) {}

  void top_level(std::string_view message, std::string_view data) {
    std::vector<Entry> fields;
    if (!parse(data, fields)) {
      left_out_.push_back("malformed " + std::string(message));
      return;
    }
    const auto counts = counts_of(fields);
    for (const Entry& e : fields) {
      if (e.number == UNINTERPRETED)
        continue;  // compiled descriptors hold none
      if (message == "google.protobuf.MessageOptions" && e.number == 7) {
        // map_entry: implied by map<K, V>, never assigned.
        left_out_.push_back(std::to_string(e.number) + " of " +
                            std::string(message) + " (implied only)");
        continue;
      }
      assign("", message, e, counts.at(e.number) > 1);
    }
  }

  // The note on what was left out, or nothing.
  std::string note() const {
    if (left_out_.empty()) return "";
    std::string text = "options left out, no printable definition: ";
    for (size_t k = 0; k < left_out_.size(); ++k) {
      if (k > 0) text += ", ";
      text += left_out_[k];
    }
    return "// ravick: " + comment_safe(text);
  }

 private:
  static std::unordered_map<uint64_t, size_t> counts_of(
      const std::vector<Entry>& fields) {
    std::unordered_map<uint64_t, size_t> counts;
    for (const Entry& e : fields) ++counts[e.number];
    return counts;
  }

  static bool descends(const FieldView& f, const Entry& e, bool group) {
    return f.type == TYPE_MESSAGE && f.label != LABEL_REPEATED &&
           e.wire == (group ? SGROUP : LEN);
  }

  // As Python's unicode_escape writes ASCII text; other text is Python's.
  static std::string comment_safe(const std::string& text) {
    static const char* const HEX = "0123456789abcdef";
    std::string out;
    for (char c : text) {
      const auto b = static_cast<uint8_t>(c);
      if (b >= 0x80) throw Deferred{};
      if (c == '\\') {
        out += "\\\\";
      } else if (c == '\t') {
        out += "\\t";
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\r') {
        out += "\\r";
      } else if (b < 0x20 || b == 0x7F) {
        out += "\\x";
        out += HEX[b >> 4];
        out += HEX[b & 15];
      } else {
        out += c;
      }
    }
    return out;
  }

  static std::string described(const Entry& e) {
    return "field " + std::to_string(e.number) + ", wire type " +
           std::to_string(e.wire);
  }

  // Adds `e` of `message` as assignments named under `prefix`. `split`
  // says the field has more entries at this level; `custom` that `message`
  // sits inside a custom option, whose parts protoc keeps as assigned.
  void assign(const std::string& prefix, std::string_view message,
              const Entry& e, bool split, bool custom = false, int depth = 0) {
    const FieldView* known = field_of(message, e.number);
    if (known != nullptr &&
        !(!known->extendee.empty() && type_key(known->extendee) != message)) {
      if (!is_identifier(known->name)) {
        left_out_.push_back(prefix + std::to_string(e.number) + " of " +
                            std::string(message));
        return;
      }
      const std::string name = prefix + std::string(known->name);
      const Where where = field_scope(message);
      const bool group = delimited(*known, where);
      if (descends(*known, e, group)) {
        const std::string type(type_key(known->type_name));
        if (custom) {
          descend_path(name, type, e.bytes, depth);
        } else {
          descend(name, type, e.bytes);
        }
      } else {
        add(name, *known, e, group);
      }
      return;
    }
    std::string_view file;
    const ExtensionDef* ext = extension_of(message, e.number, &file);
    if (ext == nullptr || !is_dotted_name(ext->full_name)) {
      left_out_.push_back(prefix + std::to_string(e.number) + " of " +
                          std::string(message));
      return;
    }
    const std::string name = prefix + "(." + ext->full_name + ")";
    if (!importable(file)) {
      std::vector<std::string> value;
      std::string text = "?";
      if (value_text(*ext->field, e, false, 0, value)) {
        text.clear();
        for (size_t k = 0; k < value.size(); ++k)
          text += (k > 0 ? " " : "") + value[k];
      }
      left_out_.push_back(name + " = " + text + " (" + std::string(file) +
                          " is not imported)");
      return;
    }
    const Where where = extension_scope(*ext, file);
    const bool group = delimited(*ext->field, where);
    if (!(split || custom)) {
      std::vector<std::string> value;
      if (value_text(*ext->field, e, group, 0, value)) {
        out_.assignments.push_back({name, std::move(value)});
        return;
      }
    }
    // A path also reaches what an aggregate cannot name.
    if (descends(*ext->field, e, group)) {
      descend_path(name, std::string(type_key(ext->field->type_name)), e.bytes,
                   depth);
      return;
    }
    add(name, *ext->field, e, group);
  }

  // One separately set part of a custom message option, by its path: protoc
  // keeps each `(opt).a.b = v` as its own entry holding one chain of fields.
  void descend_path(const std::string& name, const std::string& message,
                    std::string_view data, int depth) {
    std::vector<Entry> fields;
    if (parse(data, fields) && fields.size() == 1 &&
        depth < MAX_AGGREGATE_DEPTH && !packed(message, fields.front()) &&
        !is_message_set(message)) {
      assign(name + ".", message, fields.front(), true, true, depth + 1);
      return;
    }
    std::vector<std::string> value;
    // What an aggregate cannot hold is noted: the Python renderer's.
    if (!aggregate(message, data, 1, value)) throw Deferred{};
    out_.assignments.push_back({name, std::move(value)});
  }

  // Whether `e` of `message` holds packed scalars: paths would store them
  // one by one, an aggregate packs them again.
  bool packed(std::string_view message, const Entry& e) {
    const FieldView* f = field_of(message, e.number);
    if (f == nullptr) {
      std::string_view file;
      const ExtensionDef* ext = extension_of(message, e.number, &file);
      f = ext == nullptr ? nullptr : ext->field;
    }
    return f != nullptr && e.wire == LEN && is_scalar(f->type);
  }

  void descend(const std::string& name, const std::string& message,
               std::string_view data) {
    std::vector<Entry> fields;
    if (!parse(data, fields)) {
      left_out_.push_back("malformed " + name);
      return;
    }
    if (fields.empty()) out_.assignments.push_back({name, {"{}"}});
    const auto counts = counts_of(fields);
    for (const Entry& e : fields)
      assign(name + ".", message, e, counts.at(e.number) > 1);
  }

  void add(const std::string& name, const FieldView& f, const Entry& e,
           bool group) {
    if (e.wire == LEN && is_scalar(f.type)) {
      // Packed: each element its own assignment.
      each_packed(f, e, [&](const Entry& element) {
        add(name, f, element, false);
        return true;
      });
      return;
    }
    std::vector<std::string> value;
    if (!value_text(f, e, group, 0, value)) {
      left_out_.push_back(name + " (" + described(e) + ")");
      return;
    }
    out_.assignments.push_back({name, std::move(value)});
  }

  // --- look-ups as the Python renderer makes them ---------------------------

  // Field and extension numbers are int32: no larger number on the wire
  // names one.
  const FieldView* field_of(std::string_view message, uint64_t number) {
    if (number > INT32_MAX) return nullptr;
    return symbols_.field(message, static_cast<int32_t>(number));
  }

  const ExtensionDef* extension_of(std::string_view message, uint64_t number,
                                   std::string_view* file) {
    if (number > INT32_MAX) return nullptr;
    return symbols_.extension(message, static_cast<int32_t>(number), file);
  }

  bool importable(std::string_view file) {
    return symbols_.visible(file) || !symbols_.complete();
  }

  Where field_scope(std::string_view message) {
    const FileView* file = symbols_.message_file(message);
    if (file == nullptr) return {std::string(message), std::nullopt};
    return {std::string(message), file->name};
  }

  static Where extension_scope(const ExtensionDef& ext, std::string_view file) {
    const size_t dot = ext.full_name.rfind('.');
    return {
        dot == std::string::npos ? std::string() : ext.full_name.substr(0, dot),
        file};
  }

  // Whether a message field is encoded as a group: only in editions, whose
  // features the Python renderer resolves.
  bool delimited(const FieldView& f, const Where& where) {
    if (f.type != TYPE_MESSAGE || !where.file) return false;
    const FileView* file = symbols_.file_named(*where.file);
    if (file == nullptr || file->syntax != "editions") return false;
    throw Deferred{};
  }

  bool implicit_presence(std::string_view message, const FieldView& f) {
    if (f.label == LABEL_REPEATED || f.type == TYPE_MESSAGE ||
        f.type == TYPE_GROUP || f.has_oneof_index || f.has_extendee ||
        f.proto3_optional) {
      return false;
    }
    const FileView* file = symbols_.message_file(message);
    if (file == nullptr ||
        (file->syntax != "proto3" && file->syntax != "editions")) {
      return false;
    }
    if (file->syntax == "proto3") return true;
    throw Deferred{};
  }

  bool is_message_set(std::string_view message) {
    const MessageView* m = symbols_.message(message);
    uint64_t value = 0;
    return m != nullptr && m->has_options &&
           last_varint(m->options, MESSAGE_SET_WIRE_FORMAT, &value) &&
           value != 0;
  }

  const std::string* enum_value_name(std::string_view name, int32_t number) {
    const EnumView* e = symbols_.enumeration(name);
    if (e == nullptr) return nullptr;
    for (const EnumValueView& v : e->values) {
      if (v.number == number && is_identifier(v.name)) {
        names_.emplace_back(v.name);
        return &names_.back();
      }
    }
    return nullptr;
  }

  // --- values ------------------------------------------------------------

  // The value of `e` as one or more lines; false when it needs the Python
  // renderer. `depth` counts the aggregates around it.
  bool value_text(const FieldView& f, const Entry& e, bool group, int depth,
                  std::vector<std::string>& out) {
    if (e.wire != (group ? SGROUP : expected_wire(f.type))) return false;
    if (e.wire == LEN || e.wire == SGROUP) {
      if (f.type == TYPE_MESSAGE || f.type == TYPE_GROUP) {
        return aggregate(std::string(type_key(f.type_name)), e.bytes, depth + 1,
                         out);
      }
      if (f.type != TYPE_STRING) {
        out.push_back(quoted_bytes(e.bytes));
        return true;
      }
      std::optional<std::string> text = quoted_text(e.bytes);
      if (!text) throw Deferred{};  // printable characters past ASCII: Python's
      out.push_back(std::move(*text));
      return true;
    }
    switch (f.type) {
      case TYPE_BOOL:
        out.emplace_back(e.varint != 0 ? "true" : "false");
        return true;
      case TYPE_ENUM: {
        const std::string* name = enum_value_name(
            type_key(f.type_name),
            static_cast<int32_t>(static_cast<uint32_t>(e.varint)));
        // In an aggregate, an open enum's number prints: Python's.
        if (name == nullptr && depth > 0) throw Deferred{};
        if (name == nullptr) return false;
        out.push_back(*name);
        return true;
      }
      case TYPE_FLOAT:
      case TYPE_DOUBLE: {
        out.push_back(
            float_text(floating(f.type, e.varint), f.type == TYPE_FLOAT));
        return true;
      }
      default:
        out.push_back(integer_text(f.type, e.varint));
        return true;
    }
  }

  // `data` as a text-format aggregate of `message`: "{ ... }" on one line
  // when it fits, else a line a field.
  bool aggregate(const std::string& message, std::string_view data, int depth,
                 std::vector<std::string>& out) {
    std::vector<Entry> fields;
    if (!parse(data, fields) || depth > MAX_AGGREGATE_DEPTH) return false;
    if (symbols_.message(message) == nullptr) return false;
    if (is_message_set(message)) throw Deferred{};  // items: Python's
    std::vector<std::string> body;
    bool one_line_each = true;
    for (const Entry& e : fields) {
      const size_t before = body.size();
      aggregate_entry(message, e, depth, body);
      one_line_each = one_line_each && body.size() - before <= 1;
    }
    if (body.empty()) {
      out.emplace_back("{}");
      return true;
    }
    std::string inline_text = "{ ";
    for (size_t k = 0; k < body.size(); ++k) {
      if (k > 0) inline_text += ' ';
      inline_text += body[k];
    }
    inline_text += " }";
    if (char_count(inline_text) <= INLINE_WIDTH && one_line_each) {
      out.push_back(std::move(inline_text));
      return true;
    }
    out.emplace_back("{");
    for (std::string& line : body) out.push_back("  " + line);
    out.emplace_back("}");
    return true;
  }

  // Adds an entry's lines to `body`; whatever Python would drop with a note
  // inside the aggregate is left to it.
  void aggregate_entry(const std::string& message, const Entry& e, int depth,
                       std::vector<std::string>& body) {
    const FieldView* f = field_of(message, e.number);
    std::string name;
    Where where;
    if (f != nullptr && is_identifier(f->name)) {
      name = std::string(f->name);
      where = field_scope(message);
    } else {
      std::string_view file;
      const ExtensionDef* ext = extension_of(message, e.number, &file);
      if (ext == nullptr || !is_dotted_name(ext->full_name) ||
          !importable(file) || !symbols_.found_from(ext->full_name, message)) {
        throw Deferred{};
      }
      f = ext->field;
      name = "[" + ext->full_name + "]";
      where = extension_scope(*ext, file);
    }
    if (e.wire == LEN && is_scalar(f->type)) {
      std::string line = name + ": [";
      bool first = true;
      each_packed(*f, e, [&](const Entry& element) {
        std::vector<std::string> value;
        if (!value_text(*f, element, false, depth, value)) throw Deferred{};
        if (!first) line += ", ";
        line += value.front();
        first = false;
        return true;
      });
      body.push_back(line + "]");
      return;
    }
    std::vector<std::string> value;
    if (!value_text(*f, e, delimited(*f, where), depth, value))
      throw Deferred{};
    const bool zero =
        e.wire == LEN || e.wire == SGROUP ? e.bytes.empty() : e.varint == 0;
    if (zero && implicit_presence(message, *f)) throw Deferred{};
    const bool message_typed = f->type == TYPE_MESSAGE || f->type == TYPE_GROUP;
    body.push_back(name + (message_typed ? " " : ": ") + value.front());
    for (size_t k = 1; k < value.size(); ++k) body.push_back(value[k]);
  }

  Symbols& symbols_;
  Rendered& out_;
  std::vector<std::string> left_out_;
  std::deque<std::string> names_;
};

}  // namespace

bool render_options(Symbols& symbols, std::string_view type,
                    std::string_view data, Rendered& out) {
  try {
    Renderer renderer(symbols, out);
    renderer.top_level(type, data);
    out.note = renderer.note();
  } catch (const Deferred&) {
    return false;
  }
  return !symbols.needs_files();
}

}  // namespace ravick::printer
