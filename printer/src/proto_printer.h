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

class SymbolIndex;

// The source of the FileDescriptorProto serialized as `descriptor`, lines
// joined by "\n" and ending in one; nothing when the bytes are malformed or
// the file is one to decline. The bytes must be as the protobuf runtime
// serializes a parsed message (each singular field at most once). With
// `builtin` (the index of descriptor.proto as the runtime knows it) options
// are rendered here, custom options with the names of `files` (the index of
// the run's files, this one among them) when given; `options` renders what
// is left.
std::optional<std::string> print_file(std::string_view descriptor,
                                      OptionsRenderer& options,
                                      const SymbolIndex* builtin = nullptr,
                                      const SymbolIndex* files = nullptr);

}  // namespace ravick::printer
