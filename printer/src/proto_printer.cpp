#include "proto_printer.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "descriptor_view.h"
#include "options_renderer.h"
#include "proto_text.h"
#include "source_forms.h"

namespace ravick::printer {
namespace {

const std::vector<FieldView> NO_FIELDS;
const std::vector<OneofView> NO_ONEOFS;

class FilePrinter {
 public:
  FilePrinter(const FileView& file, OptionsRenderer& options, Symbols* symbols)
      : file_(file), options_(options), symbols_(symbols) {
    if (file.syntax == "proto3" || file.syntax == "editions") {
      syntax_ = std::string(file.syntax);
    }
    editions_ = syntax_ == "editions";
    unstable_ = editions_ && file.edition == EDITION_UNSTABLE;
  }

  std::string print() {
    if (file_.has_comments) throw Declined{};
    print_syntax();
    print_package();
    print_imports();
    print_option_statements("google.protobuf.FileOptions", file_.has_options,
                            file_.options);
    out_.gap();
    const std::string_view package = file_.package;
    Scope scope{is_dotted_name(package) ? std::string(package) : std::string(),
                &file_.messages,
                &file_.enums,
                &file_.extensions,
                &NO_FIELDS,
                &NO_ONEOFS};
    print_scope(scope);
    for (const ServiceView& service : file_.services) print_service(service);
    out_.trim();
    return out_.joined();
  }

 private:
  void print_syntax() {
    if (!editions_) {
      const std::string_view s = file_.syntax;
      if (s != "" && s != "proto2" && s != "proto3") throw Declined{};
      out_.add("syntax = \"" + syntax_ + "\";");
    } else if (file_.edition == EDITION_2023) {
      out_.add("edition = \"2023\";");
    } else if (file_.edition == EDITION_2024) {
      out_.add("edition = \"2024\";");
    } else if (file_.edition == EDITION_UNSTABLE) {
      out_.add("edition = \"UNSTABLE\";");
    } else {
      throw Declined{};
    }
    out_.add("");
  }

  void print_package() {
    if (!file_.has_package) return;
    const std::string_view package = file_.package;
    if (!is_dotted_name(package) || package.front() == '.') throw Declined{};
    out_.add("package " + std::string(package) + ";");
    out_.add("");
  }

  static std::string text_literal(std::string_view text) {
    std::optional<std::string> quoted = quoted_text(text);
    if (!quoted) throw Declined{};
    return *quoted;
  }

  void print_imports() {
    const auto& deps = file_.dependencies;
    for (size_t i = 0; i < deps.size(); ++i) {
      const auto index = static_cast<int32_t>(i);
      const auto has = [index](const std::vector<int32_t>& v) {
        return std::find(v.begin(), v.end(), index) != v.end();
      };
      const char* modifier = has(file_.public_dependencies) ? "public "
                             : has(file_.weak_dependencies) ? "weak "
                                                            : "";
      out_.add("import " + std::string(modifier) + text_literal(deps[i]) + ";");
    }
    for (std::string_view name : file_.option_dependencies) {
      out_.add("import option " + text_literal(name) + ";");
    }
    if (!deps.empty() || !file_.option_dependencies.empty()) out_.add("");
  }

  // --- options -------------------------------------------------------------

  Rendered render(std::string_view type, std::string_view data) {
    Rendered rendered;
    if (data.empty()) return rendered;
    if (symbols_ != nullptr &&
        render_options(*symbols_, type, data, rendered)) {
      return rendered;
    }
    rendered = Rendered{};
    if (!options_.render(type, data, rendered)) throw Declined{};
    return rendered;
  }

  void note_left_out(const Rendered& rendered) {
    if (!rendered.note.empty()) out_.add(rendered.note);
  }

  void print_option_statements(std::string_view type, bool has,
                               std::string_view data) {
    if (!has) return;
    const Rendered rendered = render(type, data);
    for (const Assignment& a : rendered.assignments) {
      const auto lines = assignment_lines(a, ";");
      out_.add("option " + lines.front());
      for (size_t k = 1; k < lines.size(); ++k) out_.add(lines[k]);
    }
    note_left_out(rendered);
  }

  // --- scopes --------------------------------------------------------------

  std::optional<size_t> map_entry_index(
      const FieldView& f, const Scope& scope,
      const std::map<std::string, size_t, std::less<>>& by_name) {
    if (f.label != LABEL_REPEATED || f.type != TYPE_MESSAGE ||
        f.has_oneof_index || f.has_default) {
      return std::nullopt;
    }
    const auto found = by_name.find(f.type_name);
    if (found == by_name.end() || !is_identifier(f.name)) return std::nullopt;
    const MessageView& entry = (*scope.messages)[found->second];
    if (entry.name != map_entry_name(f.name) ||
        !is_plain_map_entry(entry, features_only(f))) {
      return std::nullopt;
    }
    return found->second;
  }

  std::optional<size_t> group_index(
      const FieldView& f, const Scope& scope,
      const std::map<std::string, size_t, std::less<>>& by_name) {
    if (f.type != TYPE_GROUP || syntax_ != "proto2") return std::nullopt;
    const auto found = by_name.find(f.type_name);
    if (found == by_name.end() || !is_identifier(f.name)) return std::nullopt;
    const MessageView& group = (*scope.messages)[found->second];
    const std::string_view name = group.name;
    if (!is_identifier(name) || name.front() < 'A' || name.front() > 'Z') {
      return std::nullopt;
    }
    if (f.name != lower(name) || is_map_entry_message(group))
      return std::nullopt;
    return found->second;
  }

  Implicit implicit(const Scope& scope) {
    Implicit found;
    if (scope.messages->empty()) return found;
    std::map<std::string, size_t, std::less<>> by_name;
    for (size_t j = 0; j < scope.messages->size(); ++j) {
      std::string key = ".";
      key += join_name(scope.full_name, (*scope.messages)[j].name);
      by_name.emplace(std::move(key), j);
    }
    std::set<size_t> claimed;
    const auto claim =
        [&claimed](std::optional<size_t> j) -> std::optional<size_t> {
      if (!j || !claimed.insert(*j).second) return std::nullopt;
      return j;
    };
    for (size_t i = 0; i < scope.fields->size(); ++i) {
      const FieldView& f = (*scope.fields)[i];
      if (const auto entry = claim(map_entry_index(f, scope, by_name))) {
        found.map_entries[i] = *entry;
        continue;
      }
      if (const auto group = claim(group_index(f, scope, by_name))) {
        found.field_groups[i] = *group;
      }
    }
    for (size_t i = 0; i < scope.extensions->size(); ++i) {
      if (const auto group =
              claim(group_index((*scope.extensions)[i], scope, by_name))) {
        found.extension_groups[i] = *group;
      }
    }
    return found;
  }

  void print_scope(const Scope& scope) {
    const Implicit imp = implicit(scope);
    const std::vector<Unit> units = field_units(*scope.fields);
    std::map<size_t, size_t> unit_of;
    for (size_t k = 0; k < units.size(); ++k) {
      for (size_t i : units[k].fields) unit_of[i] = k;
    }
    // Nested index -> (is a field's, index of the field or extension).
    std::map<size_t, std::pair<bool, size_t>> owners;
    for (const auto& [i, j] : imp.map_entries) owners[j] = {true, i};
    for (const auto& [i, j] : imp.field_groups) owners[j] = {true, i};
    for (const auto& [i, j] : imp.extension_groups) owners[j] = {false, i};
    size_t next_unit = 0;
    size_t next_extension = 0;
    for (size_t j = 0; j < scope.messages->size(); ++j) {
      const auto owner = owners.find(j);
      if (owner == owners.end()) {
        print_message((*scope.messages)[j], scope);
      } else if (owner->second.first) {
        const size_t last = unit_of.at(owner->second.second);
        for (size_t k = next_unit; k <= last; ++k)
          print_unit(units[k], scope, imp);
        next_unit = std::max(next_unit, last + 1);
      } else {
        print_extensions(scope, imp, next_extension, owner->second.second + 1);
        next_extension = std::max(next_extension, owner->second.second + 1);
      }
    }
    for (size_t k = next_unit; k < units.size(); ++k)
      print_unit(units[k], scope, imp);
    print_extensions(scope, imp, next_extension, scope.extensions->size());
    for (const EnumView& en : *scope.enums) {
      out_.gap();
      print_enum(en);
    }
  }

  // --- messages ------------------------------------------------------------

  static std::string visibility(int32_t v) {
    if (v == 1) return "local ";
    if (v == 2) return "export ";
    return "";
  }

  void print_message(const MessageView& message, const Scope& scope) {
    if (!is_identifier(message.name)) throw Declined{};
    out_.gap();
    out_.add(visibility(message.visibility) + "message " +
             std::string(message.name) + " {");
    print_message_body(message, join_name(scope.full_name, message.name));
    out_.add("}");
    out_.add("");
  }

  void print_message_body(const MessageView& message,
                          const std::string& full_name) {
    out_.depth += 1;
    print_option_statements("google.protobuf.MessageOptions",
                            message.has_options, message.options);
    const Scope scope{full_name,           &message.nested, &message.enums,
                      &message.extensions, &message.fields, &message.oneofs};
    print_oneofs_without_fields(message);
    print_scope(scope);
    print_extension_ranges(message);
    print_reserved(message.reserved, message.reserved_names, MAX_FIELD_END);
    out_.trim();
    out_.depth -= 1;
  }

  void print_oneofs_without_fields(const MessageView& message) {
    if (message.oneofs.empty()) return;
    std::set<int32_t> used;
    for (const FieldView& f : message.fields) {
      if (f.has_oneof_index) used.insert(f.oneof_index);
    }
    for (size_t k = 0; k < message.oneofs.size(); ++k) {
      if (used.count(static_cast<int32_t>(k)) == 0) throw Declined{};
    }
    if (renames_synthetic_oneof(message)) throw Declined{};
  }

  void print_unit(const Unit& unit, const Scope& scope, const Implicit& imp) {
    if (!unit.in_oneof) {
      print_field(unit.fields.front(), scope, imp, false);
      return;
    }
    const auto& oneofs = *scope.oneofs;
    if (unit.oneof < 0 || static_cast<size_t>(unit.oneof) >= oneofs.size())
      throw Declined{};
    const OneofView& oneof = oneofs[static_cast<size_t>(unit.oneof)];
    if (!is_identifier(oneof.name)) throw Declined{};
    out_.add("oneof " + std::string(oneof.name) + " {");
    out_.depth += 1;
    print_option_statements("google.protobuf.OneofOptions", oneof.has_options,
                            oneof.options);
    for (size_t i : unit.fields) print_field(i, scope, imp, true);
    out_.depth -= 1;
    out_.add("}");
  }

  // --- fields --------------------------------------------------------------

  std::string label_text(const FieldView& f, bool in_oneof) const {
    if (in_oneof) return "";
    if (f.label == LABEL_REPEATED) return "repeated ";
    if (syntax_ == "proto2")
      return f.label == LABEL_REQUIRED ? "required " : "optional ";
    if (syntax_ == "proto3") {
      if (f.proto3_optional) return "optional ";
      return f.label == LABEL_REQUIRED ? "required " : "";
    }
    return "";
  }

  std::optional<std::string> field_type_text(const FieldView& f) const {
    if (const char* scalar = scalar_name(f.type, unstable_))
      return std::string(scalar);
    if (is_dotted_name(f.type_name)) return std::string(f.type_name);
    return std::nullopt;
  }

  static std::string default_text(const FieldView& f) {
    const std::string_view value = f.default_value;
    if (f.type == TYPE_STRING) return text_literal(value);
    if (f.type == TYPE_BYTES) return quoted_bytes(c_unescape(value));
    for (char c : value) {
      if (static_cast<uint8_t>(c) >= 0x80) throw Declined{};
    }
    bool ok = false;
    if (f.type == TYPE_BOOL) {
      ok = value == "true" || value == "false";
    } else if (f.type == TYPE_ENUM) {
      ok = is_identifier(value);
    } else if (f.type == TYPE_FLOAT || f.type == TYPE_DOUBLE) {
      ok = is_float_literal(value);
    } else {
      ok = is_int_literal(value);
    }
    if (!ok) throw Declined{};
    return std::string(value);
  }

  static std::vector<Assignment> pseudo_options(const FieldView& f) {
    std::vector<Assignment> pseudo;
    if (f.has_default) pseudo.push_back({"default", {default_text(f)}});
    if (f.has_json_name && f.json_name != derived_json_name(f.name)) {
      if (f.has_extendee) throw Declined{};
      pseudo.push_back({"json_name", {text_literal(f.json_name)}});
    }
    return pseudo;
  }

  void print_field(size_t i, const Scope& scope, const Implicit& imp,
                   bool in_oneof) {
    const auto entry = imp.map_entries.find(i);
    const auto group = imp.field_groups.find(i);
    print_field_like(
        (*scope.fields)[i], scope,
        entry == imp.map_entries.end() ? std::nullopt
                                       : std::optional(entry->second),
        group == imp.field_groups.end() ? std::nullopt
                                        : std::optional(group->second),
        in_oneof);
  }

  void print_field_like(const FieldView& f, const Scope& scope,
                        std::optional<size_t> map_entry,
                        std::optional<size_t> group, bool in_oneof) {
    if (!is_identifier(f.name)) throw Declined{};
    std::optional<std::string> type_text;
    std::string label;
    if (map_entry) {
      const MessageView& entry = (*scope.messages)[*map_entry];
      const auto key = field_type_text(entry.fields[0]);
      const auto value = field_type_text(entry.fields[1]);
      if (key && value) type_text = "map<" + *key + ", " + *value + ">";
    } else if (group) {
      type_text = "group " + std::string((*scope.messages)[*group].name);
      label = label_text(f, in_oneof);
    } else {
      type_text = field_type_text(f);
      label = label_text(f, in_oneof);
      if (f.type == TYPE_GROUP && syntax_ == "proto2") throw Declined{};
    }
    if (!type_text) throw Declined{};
    const std::vector<Assignment> pseudo = pseudo_options(f);
    Rendered rendered;
    if (f.has_options) {
      rendered = render("google.protobuf.FieldOptions", f.options);
      note_left_out(rendered);
    }
    std::string head = label + *type_text;
    if (!group) head += " " + std::string(f.name);
    head += " = " + std::to_string(f.number);
    if (!group) {
      if (!pseudo.empty() || !rendered.assignments.empty()) {
        out_.add_lines(bracketed(head, pseudo, rendered.assignments), ";");
      } else {
        out_.add(head + ";");
      }
      return;
    }
    out_.add_lines(bracketed(head, pseudo, rendered.assignments), " {");
    const MessageView& nested = (*scope.messages)[*group];
    print_message_body(nested, join_name(scope.full_name, nested.name));
    out_.add("}");
  }

  // --- extensions ----------------------------------------------------------

  void print_extensions(const Scope& scope, const Implicit& imp, size_t start,
                        size_t end) {
    const auto& extensions = *scope.extensions;
    size_t i = start;
    while (i < end) {
      const std::string_view extendee = extensions[i].extendee;
      size_t run_end = i;
      while (run_end < end && extensions[run_end].extendee == extendee)
        ++run_end;
      if (!is_dotted_name(extendee)) throw Declined{};
      out_.add("extend " + std::string(extendee) + " {");
      out_.depth += 1;
      for (size_t k = i; k < run_end; ++k) {
        const auto group = imp.extension_groups.find(k);
        print_field_like(extensions[k], scope, std::nullopt,
                         group == imp.extension_groups.end()
                             ? std::nullopt
                             : std::optional(group->second),
                         false);
      }
      out_.depth -= 1;
      out_.add("}");
      out_.add("");
      i = run_end;
    }
  }

  void print_extension_ranges(const MessageView& message) {
    for (const ExtensionRangeView& range : message.extension_ranges) {
      const int64_t start = range.span.start;
      const int64_t end = range.span.end;
      const std::string end_text = end == MAX_FIELD_END || end == MAX_INT32
                                       ? "max"
                                       : std::to_string(end - 1);
      const std::string span = end == start + 1
                                   ? std::to_string(start)
                                   : std::to_string(start) + " to " + end_text;
      const Rendered rendered = render("google.protobuf.ExtensionRangeOptions",
                                       range.has_options ? range.options : "");
      note_left_out(rendered);
      out_.add_lines(bracketed("extensions " + span, {}, rendered.assignments),
                     ";");
    }
  }

  // --- enums and reserved --------------------------------------------------

  void print_enum(const EnumView& en) {
    if (!is_identifier(en.name)) throw Declined{};
    out_.add(visibility(en.visibility) + "enum " + std::string(en.name) + " {");
    out_.depth += 1;
    print_option_statements("google.protobuf.EnumOptions", en.has_options,
                            en.options);
    for (const EnumValueView& value : en.values) {
      if (!is_identifier(value.name)) throw Declined{};
      const Rendered rendered = render("google.protobuf.EnumValueOptions",
                                       value.has_options ? value.options : "");
      note_left_out(rendered);
      const std::string head =
          std::string(value.name) + " = " + std::to_string(value.number);
      out_.add_lines(bracketed(head, {}, rendered.assignments), ";");
    }
    print_reserved(en.reserved, en.reserved_names, MAX_INT32);
    out_.depth -= 1;
    out_.add("}");
    out_.add("");
  }

  void print_reserved(const std::vector<Span>& ranges,
                      const std::vector<std::string_view>& names,
                      int64_t max_end) {
    std::string spans;
    for (const Span& r : ranges) {
      // Message ranges end past their last number, enum ranges on it.
      const int64_t last =
          max_end == MAX_FIELD_END ? int64_t{r.end} - 1 : r.end;
      if (!spans.empty()) spans += ", ";
      if (last == r.start) {
        spans += std::to_string(r.start);
      } else {
        spans += std::to_string(r.start) + " to " +
                 (r.end == max_end ? std::string("max") : std::to_string(last));
      }
    }
    if (!ranges.empty()) out_.add("reserved " + spans + ";");
    std::string printed;
    for (std::string_view name : names) {
      if (!printed.empty()) printed += ", ";
      if (editions_) {
        if (!is_identifier(name)) throw Declined{};
        printed += name;
      } else {
        printed += text_literal(name);
      }
    }
    if (!names.empty()) out_.add("reserved " + printed + ";");
  }

  // --- services ------------------------------------------------------------

  void print_service(const ServiceView& service) {
    if (!is_identifier(service.name)) throw Declined{};
    out_.add("service " + std::string(service.name) + " {");
    out_.depth += 1;
    print_option_statements("google.protobuf.ServiceOptions",
                            service.has_options, service.options);
    for (const MethodView& method : service.methods) print_method(method);
    out_.depth -= 1;
    out_.add("}");
    out_.add("");
  }

  void print_method(const MethodView& m) {
    if (!is_identifier(m.name) || !is_dotted_name(m.input_type) ||
        !is_dotted_name(m.output_type)) {
      throw Declined{};
    }
    const std::string head = "rpc " + std::string(m.name) + "(" +
                             (m.client_streaming ? "stream " : "") +
                             std::string(m.input_type) + ") returns (" +
                             (m.server_streaming ? "stream " : "") +
                             std::string(m.output_type) + ")";
    if (!m.has_options) {
      out_.add(head + ";");
      return;
    }
    if (m.options.empty()) {
      out_.add(head + " {}");  // keeps the empty options protoc made of {}
      return;
    }
    out_.add(head + " {");
    out_.depth += 1;
    print_option_statements("google.protobuf.MethodOptions", true, m.options);
    out_.depth -= 1;
    out_.add("}");
  }

  const FileView& file_;
  OptionsRenderer& options_;
  Symbols* symbols_;
  std::string syntax_ = "proto2";
  bool editions_ = false;
  bool unstable_ = false;
  Writer out_;
};

}  // namespace

std::optional<std::string> print_file(std::string_view descriptor,
                                      OptionsRenderer& options,
                                      const SymbolIndex* builtin,
                                      const SymbolIndex* files) {
  const std::optional<FileView> file = read_file(descriptor);
  if (!file) return std::nullopt;
  try {
    if (builtin == nullptr) return FilePrinter(*file, options, nullptr).print();
    Symbols symbols(*builtin, files, *file);
    return FilePrinter(*file, options, &symbols).print();
  } catch (const Declined&) {
    return std::nullopt;
  }
}

}  // namespace ravick::printer
