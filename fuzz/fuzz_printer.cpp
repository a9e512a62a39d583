// Fuzzes the native .proto printer and its symbol index on arbitrary bytes:
// every read bounded, no crash, and printed text that ends in a newline.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "file_facts.h"
#include "proto_printer.h"
#include "symbol_index.h"

namespace {

namespace pr = ravick::printer;

class Renderer final : public pr::OptionsRenderer {
 public:
  explicit Renderer(uint8_t mode) : mode_(mode) {}
  bool render(std::string_view, std::string_view data,
              pr::Rendered& out) override {
    if (mode_ % 3 == 0) return false;
    if (mode_ % 3 == 1)
      out.assignments.push_back({"(x)", {"{", "  a: 1", "}"}});
    if (!data.empty() && data[0] % 2 == 0) out.note = "// ravick: left out";
    return true;
  }

 private:
  uint8_t mode_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // data[0] sets the stand-in renderer; data[1] * 64 bytes after it are
  // the index's descriptor.proto, the rest the printed file.
  Renderer renderer(data[0]);
  const size_t split = std::min<size_t>(size_t{data[1]} * 64, size - 2);
  const std::string builtin_bytes(reinterpret_cast<const char*>(data + 2),
                                  split);
  const std::string file(reinterpret_cast<const char*>(data + 2 + split),
                         size - 2 - split);
  const auto builtin = pr::SymbolIndex::build({builtin_bytes});
  const auto files = pr::SymbolIndex::build({file, builtin_bytes});
  // The same index with the first part as a conflicting version of itself.
  const auto replaced =
      files ? pr::SymbolIndex::replacing(*files, builtin_bytes) : nullptr;
  const pr::SymbolIndex* names = nullptr;
  if (data[0] & 4) names = data[0] & 8 ? replaced.get() : files.get();
  const auto text = pr::print_file(file, renderer, builtin.get(), names);
  if (text && (text->empty() || text->back() != '\n')) abort();
  if (builtin) pr::file_facts(file, *builtin);
  return 0;
}
