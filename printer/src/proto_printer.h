// The .proto source of a serialized FileDescriptorProto, for the files that
// need nothing but declarations and rendered options: the fast path of the
// Python printer, whose output it reproduces byte for byte. A file with
// comments, or one that the Python printer would annotate with a note of
// something left out, is declined, and the Python printer prints it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ravick::printer {

// One `name = value` option; a value of several lines has one entry a line.
struct Assignment {
  std::string name;
  std::vector<std::string> value;
};

// What an options message renders to: its assignments, in order, and the
// text of the note on what was left out of it (empty when nothing was).
struct Rendered {
  std::vector<Assignment> assignments;
  std::string note;
};

// Renders options messages, which needs the names of the whole run.
class OptionsRenderer {
 public:
  virtual ~OptionsRenderer() = default;
  // Renders `data` (never empty), serialized as the options message called
  // `type`, into `out`. False stops the printing: the file is declined.
  virtual bool render(std::string_view type, std::string_view data,
                      Rendered& out) = 0;
};

struct BuiltinOptions;

// The source of the FileDescriptorProto serialized as `descriptor`, lines
// joined by "\n" and ending in one; nothing when the bytes are malformed or
// the file is one to decline. The bytes must be as the protobuf runtime
// serializes a parsed message (each singular field at most once). Options
// that use only descriptor.proto's own fields are rendered here with
// `builtin` (when given), the others by `options`.
std::optional<std::string> print_file(std::string_view descriptor,
                                      OptionsRenderer& options,
                                      const BuiltinOptions* builtin = nullptr);

}  // namespace ravick::printer
