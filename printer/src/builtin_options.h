// Options that use only the fields of descriptor.proto's own messages,
// rendered from their wire bytes as the Python renderer renders them. Any
// other option (custom options, aggregates, floats, text past ASCII) is left
// to the Python renderer, which also knows the run's names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "proto_printer.h"

namespace ravick::printer {

// A field of an options message as the runtime's descriptor.proto defines it.
struct OptionField {
  std::string name;
  int32_t type = 0;
  int32_t label = 0;
  std::string type_name;   // full name without the leading dot
  bool delimited = false;  // a message encoded as a group
  // A field without presence: an aggregate cannot keep its zero.
  bool implicit_presence = false;
};

struct BuiltinOptions {
  // Message full name -> field number -> field.
  std::unordered_map<std::string, std::unordered_map<uint32_t, OptionField>>
      messages;
  // Enum full name -> number -> its first name that is an identifier.
  std::unordered_map<std::string, std::unordered_map<int32_t, std::string>>
      enums;
};

// Renders the options message `type` serialized as `data` into `out`; false
// (with `out` in any state) when it needs more than `builtin` holds.
bool render_builtin(const BuiltinOptions& builtin, std::string_view type,
                    std::string_view data, Rendered& out);

}  // namespace ravick::printer
