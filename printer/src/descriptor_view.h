// A FileDescriptorProto read from its wire bytes into plain structures, with
// the runtime's reading of them: a field of the wrong wire type is unknown,
// a value outside a closed enum leaves the field unset, the last of a
// singular field wins. Strings are views into the bytes read.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace ravick::printer {

struct FieldView {
  std::string_view name;
  std::string_view type_name;
  std::string_view extendee;
  std::string_view default_value;
  std::string_view json_name;
  std::string_view options;
  int32_t number = 0;
  int32_t oneof_index = 0;
  int32_t label = 1;  // LABEL_OPTIONAL
  int32_t type = 1;   // TYPE_DOUBLE
  bool has_default = false;
  bool has_json_name = false;
  bool has_extendee = false;
  bool has_oneof_index = false;
  bool has_options = false;
  bool proto3_optional = false;
};

struct Span {
  int32_t start = 0;
  int32_t end = 0;
};

struct ExtensionRangeView {
  Span span;
  std::string_view options;
  bool has_options = false;
};

struct OneofView {
  std::string_view name;
  std::string_view options;
  bool has_options = false;
};

struct EnumValueView {
  std::string_view name;
  std::string_view options;
  int32_t number = 0;
  bool has_options = false;
};

struct EnumView {
  std::string_view name;
  std::vector<EnumValueView> values;
  std::vector<Span> reserved;
  std::vector<std::string_view> reserved_names;
  std::string_view options;
  int32_t visibility = 0;
  bool has_options = false;
};

struct MessageView {
  std::string_view name;
  std::vector<FieldView> fields;
  std::vector<FieldView> extensions;
  std::vector<MessageView> nested;
  std::vector<EnumView> enums;
  std::vector<ExtensionRangeView> extension_ranges;
  std::vector<OneofView> oneofs;
  std::vector<Span> reserved;
  std::vector<std::string_view> reserved_names;
  std::string_view options;
  int32_t visibility = 0;
  bool has_options = false;
};

struct MethodView {
  std::string_view name;
  std::string_view input_type;
  std::string_view output_type;
  std::string_view options;
  bool has_options = false;
  bool client_streaming = false;
  bool server_streaming = false;
};

struct ServiceView {
  std::string_view name;
  std::vector<MethodView> methods;
  std::string_view options;
  bool has_options = false;
};

struct FileView {
  std::string_view name;
  std::string_view package;
  std::string_view syntax;
  std::vector<std::string_view> dependencies;
  std::vector<int32_t> public_dependencies;
  std::vector<int32_t> weak_dependencies;
  std::vector<std::string_view> option_dependencies;
  std::vector<MessageView> messages;
  std::vector<EnumView> enums;
  std::vector<ServiceView> services;
  std::vector<FieldView> extensions;
  std::string_view options;
  int32_t edition = 0;
  bool has_package = false;
  bool has_options = false;
  bool has_comments = false;  // source_code_info with a location
};

// The file serialized as `data`, or nothing when the bytes are malformed or
// nest deeper than the runtime reads.
std::optional<FileView> read_file(std::string_view data);

// The last varint of field `number` in the message serialized as `data`
// (0 when there is none), and whether there was one.
bool last_varint(std::string_view data, uint32_t number, uint64_t* value);

// The bytes of the last length-delimited field `number` of `data`.
bool last_bytes(std::string_view data, uint32_t number, std::string_view* out);

}  // namespace ravick::printer
