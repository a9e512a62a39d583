// Internal aborts: a broken invariant ends the whole call with an exact
// message. They are C++ exceptions so that the Python boundary can turn them
// into PanicException instead of unwinding into the interpreter.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace vornatrel::helpers {

class InternalAbort : public std::runtime_error {
 public:
  InternalAbort(const std::string& message, std::source_location where)
      : std::runtime_error(message), where_(where) {}
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

[[noreturn]] inline void internal_abort(
    const std::string& message,
    std::source_location where = std::source_location::current()) {
  throw InternalAbort(message, where);
}

}  // namespace vornatrel::helpers
