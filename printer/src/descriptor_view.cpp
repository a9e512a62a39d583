#include "descriptor_view.h"

#include "wire_reader.h"

namespace ravick::printer {
namespace {

// Calls on(entry) for each field of `data`; false when the bytes are
// malformed or on refuses an entry.
template <class On>
bool each(std::string_view data, On&& on) {
  Reader reader(data);
  Entry e;
  while (!reader.done()) {
    if (!reader.next(e) || !on(e)) return false;
  }
  return true;
}

int32_t as_int32(uint64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

bool is_label(int32_t v) { return v >= 1 && v <= 3; }
bool is_type(int32_t v) { return v >= 1 && v <= 18; }
bool is_visibility(int32_t v) { return v >= 0 && v <= 2; }
bool is_edition(int32_t v) {
  switch (v) {
    case 0:
    case 1:
    case 2:
    case 900:
    case 998:
    case 999:
    case 1000:
    case 1001:
    case 9999:
    case 99997:
    case 99998:
    case 99999:
    case 2147483647:
      return true;
    default:
      return false;
  }
}

// Sets `field` to a string (or message) value; true whatever the wire type,
// since a field of another wire type is only unknown.
void take_bytes(const Entry& e, std::string_view& field, bool* has = nullptr) {
  if (e.wire != LEN) return;
  field = e.bytes;
  if (has != nullptr) *has = true;
}

void take_int32(const Entry& e, int32_t& field, bool* has = nullptr) {
  if (e.wire != VARINT) return;
  field = as_int32(e.varint);
  if (has != nullptr) *has = true;
}

void take_enum(const Entry& e, int32_t& field, bool (*valid)(int32_t)) {
  if (e.wire == VARINT && valid(as_int32(e.varint))) field = as_int32(e.varint);
}

void take_bool(const Entry& e, bool& field) {
  if (e.wire == VARINT) field = e.varint != 0;
}

// A repeated int32, packed or not.
bool take_int32s(const Entry& e, std::vector<int32_t>& out) {
  if (e.wire == VARINT) {
    out.push_back(as_int32(e.varint));
    return true;
  }
  if (e.wire != LEN) return true;
  Reader packed(e.bytes);
  while (!packed.done()) {
    uint64_t v = 0;
    if (!packed.varint(v)) return false;
    out.push_back(as_int32(v));
  }
  return true;
}

bool read_span(std::string_view data, Span& span) {
  return each(data, [&](const Entry& e) {
    if (e.number == 1) take_int32(e, span.start);
    if (e.number == 2) take_int32(e, span.end);
    return true;
  });
}

bool read_field(std::string_view data, FieldView& f) {
  return each(data, [&](const Entry& e) {
    switch (e.number) {
      case 1:
        take_bytes(e, f.name);
        break;
      case 2:
        take_bytes(e, f.extendee, &f.has_extendee);
        break;
      case 3:
        take_int32(e, f.number);
        break;
      case 4:
        take_enum(e, f.label, is_label);
        break;
      case 5:
        take_enum(e, f.type, is_type);
        break;
      case 6:
        take_bytes(e, f.type_name);
        break;
      case 7:
        take_bytes(e, f.default_value, &f.has_default);
        break;
      case 8:
        take_bytes(e, f.options, &f.has_options);
        break;
      case 9:
        take_int32(e, f.oneof_index, &f.has_oneof_index);
        break;
      case 10:
        take_bytes(e, f.json_name, &f.has_json_name);
        break;
      case 17:
        take_bool(e, f.proto3_optional);
        break;
      default:
        break;
    }
    return true;
  });
}

bool read_enum(std::string_view data, EnumView& en) {
  return each(data, [&](const Entry& e) {
    switch (e.number) {
      case 1:
        take_bytes(e, en.name);
        break;
      case 2:
        if (e.wire == LEN) {
          EnumValueView v;
          if (!each(e.bytes, [&](const Entry& x) {
                if (x.number == 1) take_bytes(x, v.name);
                if (x.number == 2) take_int32(x, v.number);
                if (x.number == 3) take_bytes(x, v.options, &v.has_options);
                return true;
              })) {
            return false;
          }
          en.values.push_back(v);
        }
        break;
      case 3:
        take_bytes(e, en.options, &en.has_options);
        break;
      case 4:
        if (e.wire == LEN) {
          Span s;
          if (!read_span(e.bytes, s)) return false;
          en.reserved.push_back(s);
        }
        break;
      case 5:
        if (e.wire == LEN) en.reserved_names.push_back(e.bytes);
        break;
      case 6:
        take_enum(e, en.visibility, is_visibility);
        break;
      default:
        break;
    }
    return true;
  });
}

bool read_message(std::string_view data, MessageView& m, int depth);

bool read_fields_into(const Entry& e, std::vector<FieldView>& out) {
  if (e.wire != LEN) return true;
  out.emplace_back();
  return read_field(e.bytes, out.back());
}

bool read_message(std::string_view data, MessageView& m, int depth) {
  if (depth > MAX_DEPTH) return false;
  return each(data, [&](const Entry& e) {
    if (e.wire != LEN && e.number != 11) return true;
    switch (e.number) {
      case 1:
        m.name = e.bytes;
        return true;
      case 2:
        return read_fields_into(e, m.fields);
      case 3:
        m.nested.emplace_back();
        return read_message(e.bytes, m.nested.back(), depth + 1);
      case 4:
        m.enums.emplace_back();
        return read_enum(e.bytes, m.enums.back());
      case 5: {
        ExtensionRangeView r;
        if (!each(e.bytes, [&](const Entry& x) {
              if (x.number == 1) take_int32(x, r.span.start);
              if (x.number == 2) take_int32(x, r.span.end);
              if (x.number == 3) take_bytes(x, r.options, &r.has_options);
              return true;
            })) {
          return false;
        }
        m.extension_ranges.push_back(r);
        return true;
      }
      case 6:
        return read_fields_into(e, m.extensions);
      case 7:
        m.options = e.bytes;
        m.has_options = true;
        return true;
      case 8: {
        OneofView o;
        if (!each(e.bytes, [&](const Entry& x) {
              if (x.number == 1) take_bytes(x, o.name);
              if (x.number == 2) take_bytes(x, o.options, &o.has_options);
              return true;
            })) {
          return false;
        }
        m.oneofs.push_back(o);
        return true;
      }
      case 9: {
        Span s;
        if (!read_span(e.bytes, s)) return false;
        m.reserved.push_back(s);
        return true;
      }
      case 10:
        m.reserved_names.push_back(e.bytes);
        return true;
      case 11:
        take_enum(e, m.visibility, is_visibility);
        return true;
      default:
        return true;
    }
  });
}

bool read_service(std::string_view data, ServiceView& s) {
  return each(data, [&](const Entry& e) {
    if (e.number == 1) take_bytes(e, s.name);
    if (e.number == 3) take_bytes(e, s.options, &s.has_options);
    if (e.number != 2 || e.wire != LEN) return true;
    MethodView m;
    if (!each(e.bytes, [&](const Entry& x) {
          switch (x.number) {
            case 1:
              take_bytes(x, m.name);
              break;
            case 2:
              take_bytes(x, m.input_type);
              break;
            case 3:
              take_bytes(x, m.output_type);
              break;
            case 4:
              take_bytes(x, m.options, &m.has_options);
              break;
            case 5:
              take_bool(x, m.client_streaming);
              break;
            case 6:
              take_bool(x, m.server_streaming);
              break;
            default:
              break;
          }
          return true;
        })) {
      return false;
    }
    s.methods.push_back(m);
    return true;
  });
}

// Whether source_code_info holds a location.
bool has_location(std::string_view info) {
  bool found = false;
  const bool ok = each(info, [&](const Entry& e) {
    found = found || (e.number == 1 && e.wire == LEN);
    return true;
  });
  return !ok || found;
}

}  // namespace

std::optional<FileView> read_file(std::string_view data) {
  FileView f;
  const bool ok = each(data, [&](const Entry& e) {
    switch (e.number) {
      case 1:
        take_bytes(e, f.name);
        return true;
      case 2:
        take_bytes(e, f.package, &f.has_package);
        return true;
      case 3:
        if (e.wire == LEN) f.dependencies.push_back(e.bytes);
        return true;
      case 4:
        if (e.wire != LEN) return true;
        f.messages.emplace_back();
        return read_message(e.bytes, f.messages.back(), 1);
      case 5:
        if (e.wire != LEN) return true;
        f.enums.emplace_back();
        return read_enum(e.bytes, f.enums.back());
      case 6:
        if (e.wire != LEN) return true;
        f.services.emplace_back();
        return read_service(e.bytes, f.services.back());
      case 7:
        return read_fields_into(e, f.extensions);
      case 8:
        take_bytes(e, f.options, &f.has_options);
        return true;
      case 9:
        if (e.wire == LEN)
          f.has_comments = f.has_comments || has_location(e.bytes);
        return true;
      case 10:
        return take_int32s(e, f.public_dependencies);
      case 11:
        return take_int32s(e, f.weak_dependencies);
      case 12:
        take_bytes(e, f.syntax);
        return true;
      case 14:
        take_enum(e, f.edition, is_edition);
        return true;
      case 15:
        if (e.wire == LEN) f.option_dependencies.push_back(e.bytes);
        return true;
      default:
        return true;
    }
  });
  if (!ok) return std::nullopt;
  return f;
}

bool last_varint(std::string_view data, uint32_t number, uint64_t* value) {
  bool found = false;
  *value = 0;
  each(data, [&](const Entry& e) {
    if (e.number == number && e.wire == VARINT) {
      *value = e.varint;
      found = true;
    }
    return true;
  });
  return found;
}

bool last_bytes(std::string_view data, uint32_t number, std::string_view* out) {
  bool found = false;
  each(data, [&](const Entry& e) {
    if (e.number == number && e.wire == LEN) {
      *out = e.bytes;
      found = true;
    }
    return true;
  });
  return found;
}

}  // namespace ravick::printer
