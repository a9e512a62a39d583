#include "builtin_options.h"

#include <string>
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
bool each_packed(const OptionField& f, const Entry& e, On&& on) {
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

class Renderer {
 public:
  Renderer(const BuiltinOptions& builtin, Rendered& out)
      : builtin_(builtin), out_(out) {}

  bool top_level(std::string_view message, std::string_view data) {
    std::vector<Entry> fields;
    if (!parse(data, fields)) return false;
    for (const Entry& e : fields) {
      if (e.number == UNINTERPRETED) continue;
      // map_entry comes from map<K, V> only: the Python renderer notes it.
      if (message == "google.protobuf.MessageOptions" && e.number == 7)
        return false;
      if (!assign("", message, e)) return false;
    }
    return true;
  }

 private:
  bool assign(const std::string& prefix, std::string_view message,
              const Entry& e) {
    const OptionField* known = field_of(message, e.number);
    if (known == nullptr) return false;
    const OptionField& f = *known;
    const std::string name = prefix + f.name;
    if (f.type == TYPE_MESSAGE && f.label != LABEL_REPEATED &&
        e.wire == (f.delimited ? SGROUP : LEN)) {
      return descend(name, f.type_name, e.bytes);
    }
    return add(name, f, e, f.delimited);
  }

  bool descend(const std::string& name, std::string_view message,
               std::string_view data) {
    std::vector<Entry> fields;
    if (!parse(data, fields)) return false;
    if (fields.empty()) out_.assignments.push_back({name, {"{}"}});
    for (const Entry& e : fields) {
      if (!assign(name + ".", message, e)) return false;
    }
    return true;
  }

  bool add(const std::string& name, const OptionField& f, const Entry& e,
           bool delimited) {
    if (e.wire == LEN && is_scalar(f.type)) {
      // Packed: each element its own assignment.
      return each_packed(f, e, [&](const Entry& element) {
        return add(name, f, element, false);
      });
    }
    std::vector<std::string> value;
    if (!value_text(f, e, delimited, 0, value)) return false;
    out_.assignments.push_back({name, std::move(value)});
    return true;
  }

  const OptionField* field_of(std::string_view message, uint32_t number) const {
    const auto fields = builtin_.messages.find(std::string(message));
    if (fields == builtin_.messages.end()) return nullptr;
    const auto known = fields->second.find(number);
    if (known == fields->second.end() || !is_identifier(known->second.name)) {
      return nullptr;
    }
    return &known->second;
  }

  // The value of `e` as one or more lines; false when it needs the Python
  // renderer. `depth` counts the aggregates around it.
  bool value_text(const OptionField& f, const Entry& e, bool delimited,
                  int depth, std::vector<std::string>& out) {
    if (e.wire != (delimited ? SGROUP : expected_wire(f.type))) return false;
    if (e.wire == LEN || e.wire == SGROUP) {
      if (f.type == TYPE_MESSAGE || f.type == TYPE_GROUP) {
        return aggregate(f.type_name, e.bytes, depth + 1, out);
      }
      if (f.type != TYPE_STRING) {
        out.push_back(quoted_bytes(e.bytes));
        return true;
      }
      std::optional<std::string> text = quoted_text(e.bytes);
      if (!text) return false;
      out.push_back(std::move(*text));
      return true;
    }
    std::string scalar;
    if (!scalar_text(f, e, scalar)) return false;
    out.push_back(std::move(scalar));
    return true;
  }

  // `data` as a text-format aggregate of `message`: "{ ... }" on one line
  // when it fits, else a line a field.
  bool aggregate(const std::string& message, std::string_view data, int depth,
                 std::vector<std::string>& out) {
    std::vector<Entry> fields;
    if (!parse(data, fields) || depth > MAX_AGGREGATE_DEPTH) return false;
    if (builtin_.messages.find(message) == builtin_.messages.end())
      return false;
    std::vector<std::string> body;
    bool one_line_each = true;
    for (const Entry& e : fields) {
      const size_t before = body.size();
      if (!aggregate_entry(message, e, depth, body)) return false;
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

  bool aggregate_entry(const std::string& message, const Entry& e, int depth,
                       std::vector<std::string>& body) {
    const OptionField* f = field_of(message, e.number);
    if (f == nullptr) return false;
    if (e.wire == LEN && is_scalar(f->type)) {
      std::string line = f->name + ": [";
      bool first = true;
      const bool ok = each_packed(*f, e, [&](const Entry& element) {
        std::vector<std::string> value;
        if (!value_text(*f, element, false, depth, value)) return false;
        if (!first) line += ", ";
        line += value.front();
        first = false;
        return true;
      });
      if (!ok) return false;
      body.push_back(line + "]");
      return true;
    }
    std::vector<std::string> value;
    if (!value_text(*f, e, f->delimited, depth, value)) return false;
    const bool zero =
        e.wire == LEN || e.wire == SGROUP ? e.bytes.empty() : e.varint == 0;
    if (zero && f->implicit_presence)
      return false;  // the Python renderer notes it
    const bool message_typed = f->type == TYPE_MESSAGE || f->type == TYPE_GROUP;
    body.push_back(f->name + (message_typed ? " " : ": ") + value.front());
    for (size_t k = 1; k < value.size(); ++k) body.push_back(value[k]);
    return true;
  }

  bool scalar_text(const OptionField& f, const Entry& e, std::string& out) {
    switch (f.type) {
      case TYPE_BOOL:
        out = e.varint != 0 ? "true" : "false";
        return true;
      case TYPE_ENUM: {
        const auto values = builtin_.enums.find(f.type_name);
        if (values == builtin_.enums.end()) return false;
        const auto value = values->second.find(
            static_cast<int32_t>(static_cast<uint32_t>(e.varint)));
        if (value == values->second.end()) return false;
        out = value->second;
        return true;
      }
      case TYPE_FLOAT:
      case TYPE_DOUBLE:
        return false;  // the shortest text that reads back: Python's
      default:
        out = integer_text(f.type, e.varint);
        return true;
    }
  }

  const BuiltinOptions& builtin_;
  Rendered& out_;
};

}  // namespace

bool render_builtin(const BuiltinOptions& builtin, std::string_view type,
                    std::string_view data, Rendered& out) {
  return Renderer(builtin, out).top_level(type, data);
}

}  // namespace ravick::printer
