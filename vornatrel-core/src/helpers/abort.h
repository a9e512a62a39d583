// Internal aborts: a broken invariant ends the whole call with an exact
// message. They are C++ exceptions so that the Python boundary can turn them
// into PanicException instead of unwinding into the interpreter.
#pragma once

#include <stdexcept>
#include <string>

namespace vornatrel::helpers {

// Where an abort was raised, for the diagnostic line.
struct SourceLocation {
  const char* file = "";
  unsigned line = 0;
  const char* file_name() const { return file; }
};

class InternalAbort : public std::runtime_error {
 public:
  InternalAbort(const std::string& message, SourceLocation where)
      : std::runtime_error(message), where_(where) {}
  const SourceLocation& where() const noexcept { return where_; }

 private:
  SourceLocation where_;
};

// The defaults capture the caller's position (GCC and Clang builtins, which
// unlike std::source_location also work with older Clang).
[[noreturn]] inline void internal_abort(const std::string& message,
                                        const char* file = __builtin_FILE(),
                                        unsigned line = __builtin_LINE()) {
  throw InternalAbort(message, SourceLocation{file, line});
}

}  // namespace vornatrel::helpers
