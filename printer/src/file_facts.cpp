#include "file_facts.h"

#include <map>
#include <unordered_map>
#include <utility>

#include "descriptor_view.h"
#include "source_forms.h"
#include "wire_reader.h"

namespace ravick::printer {
namespace {

// Malformed options bytes: the Python helpers read them leniently.
struct Malformed {};

class Collector {
 public:
  Collector(const SymbolIndex& builtin, FileFacts& out)
      : builtin_(builtin), out_(out) {}

  void names(const FileView& f) {
    const std::string scope(f.package);
    std::vector<std::pair<std::string, const MessageView*>> stack;
    for (const MessageView& m : f.messages) stack.emplace_back(scope, &m);
    add_enums(scope, f.enums);
    while (!stack.empty()) {
      const auto [outer, message] = stack.back();
      stack.pop_back();
      const std::string full = join_name(outer, message->name);
      out_.names.push_back(full);
      for (const FieldView& field : message->fields) {
        out_.names.push_back(join_name(full, field.name));
      }
      for (const OneofView& o : message->oneofs) {
        out_.names.push_back(join_name(full, o.name));
      }
      add_enums(full, message->enums);
      add_extensions(full, message->extensions);
      for (const MessageView& nested : message->nested) {
        stack.emplace_back(full, &nested);
      }
    }
    add_extensions(scope, f.extensions);
    for (const ServiceView& s : f.services) {
      const std::string full = join_name(scope, s.name);
      out_.names.push_back(full);
      for (const MethodView& m : s.methods)
        out_.names.push_back(join_name(full, m.name));
    }
    for (size_t dot = 0; !scope.empty(); ++dot) {
      dot = scope.find('.', dot);
      out_.packages.push_back(scope.substr(0, dot));
      if (dot == std::string::npos) break;
    }
  }

  void references(const FileView& f) {
    std::vector<const FieldView*> fields;
    for (const FieldView& e : f.extensions) fields.push_back(&e);
    std::vector<const MessageView*> stack;
    for (const MessageView& m : f.messages) stack.push_back(&m);
    while (!stack.empty()) {
      const MessageView* m = stack.back();
      stack.pop_back();
      for (const FieldView& x : m->fields) fields.push_back(&x);
      for (const FieldView& x : m->extensions) fields.push_back(&x);
      for (const MessageView& nested : m->nested) stack.push_back(&nested);
    }
    constexpr int32_t TYPE_ENUM = 14;
    for (const FieldView* x : fields) {
      if (dotted(x->type_name)) {
        if (x->type == TYPE_ENUM) {
          add_reference(x->type_name, Reference::enumeration, x->default_value);
        } else {
          add_reference(x->type_name, Reference::message, "");
        }
      }
      if (dotted(x->extendee))
        add_reference(x->extendee, Reference::extendee, "");
    }
    for (const ServiceView& s : f.services) {
      for (const MethodView& m : s.methods) {
        for (std::string_view name : {m.input_type, m.output_type}) {
          if (dotted(name)) add_reference(name, Reference::message, "");
        }
      }
    }
  }

  // In the order the Python helper visits the options messages.
  void option_uses(const FileView& f) {
    using Owner = std::pair<const char*, std::pair<bool, std::string_view>>;
    std::vector<Owner> owners;
    const auto add = [&owners](const char* type, bool has,
                               std::string_view data) {
      owners.push_back({type, {has, data}});
    };
    add("google.protobuf.FileOptions", f.has_options, f.options);
    for (const ServiceView& s : f.services) {
      add("google.protobuf.ServiceOptions", s.has_options, s.options);
    }
    for (const FieldView& e : f.extensions) {
      add("google.protobuf.FieldOptions", e.has_options, e.options);
    }
    for (const ServiceView& s : f.services) {
      for (const MethodView& m : s.methods) {
        add("google.protobuf.MethodOptions", m.has_options, m.options);
      }
    }
    std::vector<const EnumView*> enums;
    for (const EnumView& e : f.enums) enums.push_back(&e);
    std::vector<const MessageView*> stack;
    for (const MessageView& m : f.messages) stack.push_back(&m);
    while (!stack.empty()) {
      const MessageView* m = stack.back();
      stack.pop_back();
      add("google.protobuf.MessageOptions", m->has_options, m->options);
      for (const FieldView& x : m->fields) {
        add("google.protobuf.FieldOptions", x.has_options, x.options);
      }
      for (const FieldView& x : m->extensions) {
        add("google.protobuf.FieldOptions", x.has_options, x.options);
      }
      for (const OneofView& o : m->oneofs) {
        add("google.protobuf.OneofOptions", o.has_options, o.options);
      }
      for (const ExtensionRangeView& r : m->extension_ranges) {
        add("google.protobuf.ExtensionRangeOptions", r.has_options, r.options);
      }
      for (const EnumView& e : m->enums) enums.push_back(&e);
      for (const MessageView& nested : m->nested) stack.push_back(&nested);
    }
    for (const EnumView* e : enums) {
      add("google.protobuf.EnumOptions", e->has_options, e->options);
      for (const EnumValueView& v : e->values) {
        add("google.protobuf.EnumValueOptions", v.has_options, v.options);
      }
    }
    for (const auto& [type, owner] : owners) {
      if (!owner.first) continue;
      count(type, owner.second);
      std::string_view features;
      const int32_t number = features_number(type);
      if (number > 0 &&
          last_bytes(owner.second, static_cast<uint32_t>(number), &features)) {
        count("google.protobuf.FeatureSet", features);
      }
    }
  }

 private:
  void add_enums(const std::string& scope, const std::vector<EnumView>& enums) {
    for (const EnumView& e : enums) {
      out_.names.push_back(join_name(scope, e.name));
      // Enum values are defined in the scope that holds their enum.
      for (const EnumValueView& v : e.values)
        out_.names.push_back(join_name(scope, v.name));
    }
  }

  void add_extensions(const std::string& scope,
                      const std::vector<FieldView>& extensions) {
    for (const FieldView& e : extensions) {
      out_.names.push_back(join_name(scope, e.name));
      std::string_view extendee = e.extendee;
      while (!extendee.empty() && extendee.front() == '.')
        extendee.remove_prefix(1);
      out_.extension_numbers.push_back({std::string(extendee), e.number});
    }
  }

  static bool dotted(std::string_view name) {
    return !name.empty() && name.front() == '.';
  }

  void add_reference(std::string_view name, Reference::Kind kind,
                     std::string_view enum_default) {
    out_.references.push_back(
        {std::string(name.substr(1)), kind, std::string(enum_default)});
  }

  const MessageView* options_message(const char* type) const {
    const auto* defined = builtin_.messages(type);
    return defined == nullptr || defined->empty() ? nullptr
                                                  : defined->front().item;
  }

  int32_t features_number(const char* type) const {
    const MessageView* m = options_message(type);
    if (m == nullptr) return 0;
    for (const FieldView& f : m->fields) {
      if (f.name == "features") return f.number;
    }
    return 0;
  }

  bool known(const char* type, uint64_t number) const {
    const MessageView* m = options_message(type);
    if (m == nullptr) return false;
    for (const FieldView& f : m->fields) {
      if (f.number >= 0 && static_cast<uint64_t>(f.number) == number)
        return true;
    }
    return false;
  }

  void count(const char* type, std::string_view data) {
    Reader reader(data);
    std::map<uint64_t, size_t> counts;
    Entry e;
    while (!reader.done()) {
      if (!reader.next(e)) throw Malformed{};
      if (known(type, e.number)) continue;
      const auto key = std::make_pair(std::string(type), e.number);
      auto found = index_.find(key);
      if (found == index_.end()) {
        found = index_.emplace(key, out_.option_uses.size()).first;
        out_.option_uses.push_back({key.first, e.number, 0, false});
      }
      out_.option_uses[found->second].wire_types |=
          static_cast<uint8_t>(1u << e.wire);
      if (++counts[e.number] > 1)
        out_.option_uses[found->second].repeated = true;
    }
  }

  const SymbolIndex& builtin_;
  FileFacts& out_;
  std::map<std::pair<std::string, uint64_t>, size_t> index_;
};

}  // namespace

std::optional<FileFacts> file_facts(std::string_view data,
                                    const SymbolIndex& builtin) {
  const std::optional<FileView> file = read_file(data);
  if (!file) return std::nullopt;
  FileFacts facts;
  Collector collect(builtin, facts);
  try {
    collect.names(*file);
    collect.option_uses(*file);
    collect.references(*file);
  } catch (const Malformed&) {
    return std::nullopt;
  }
  return facts;
}

}  // namespace ravick::printer
