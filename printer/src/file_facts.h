// What a file defines and which custom options it sets, read from its wire
// bytes: the facts an extracted tree is planned with, as the Python helpers
// find them in a parsed descriptor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "symbol_index.h"

namespace ravick::printer {

struct ExtensionNumber {
  std::string extendee;  // without leading dots
  int32_t number = 0;
};

// One custom option (a field its options message does not define) as a
// file sets it: the wire types of its values, and whether one options
// message holds it more than once.
struct OptionUse {
  std::string options_type;
  uint64_t number = 0;
  uint8_t wire_types = 0;  // a bit per wire type
  bool repeated = false;
};

// A type that a file names with a leading dot, and how it uses it.
struct Reference {
  enum Kind : uint8_t { message, enumeration, extendee };
  std::string name;  // without the leading dot
  Kind kind = message;
  std::string enum_default;  // an enum field's default
};

struct FileFacts {
  // Full names of messages, fields, oneofs, enums, enum values (in their
  // enum's scope), services, methods and extensions; may repeat.
  std::vector<std::string> names;
  std::vector<std::string> packages;  // the package and its enclosing ones
  std::vector<ExtensionNumber> extension_numbers;
  std::vector<OptionUse> option_uses;
  // In the order of the Python helper: file extensions, then each message's
  // fields and extensions (messages last pushed first), then methods.
  std::vector<Reference> references;
};

// The facts of the FileDescriptorProto serialized as `data` (as the runtime
// serializes it); `builtin` is the index of descriptor.proto, whose options
// messages say which fields are not custom. Nothing for malformed bytes.
std::optional<FileFacts> file_facts(std::string_view data,
                                    const SymbolIndex& builtin);

}  // namespace ravick::printer
