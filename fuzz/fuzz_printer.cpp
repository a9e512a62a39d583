// Fuzzes the native .proto printer on arbitrary bytes: every read bounded,
// no crash, and printed text that ends in a newline. The first byte chooses
// how the stand-in options renderer answers.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "builtin_options.h"
#include "proto_printer.h"

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

pr::BuiltinOptions make_builtin() {
  pr::BuiltinOptions b;
  auto& file = b.messages["google.protobuf.FileOptions"];
  file[1] = {"java_package", 9, 1, "", false, false};
  file[9] = {
      "optimize_for", 14,   1, "google.protobuf.FileOptions.OptimizeMode",
      false,          false};
  auto& field = b.messages["google.protobuf.FieldOptions"];
  field[2] = {"packed", 8, 1, "", false, false};
  field[19] = {"targets", 14,
               3,         "google.protobuf.FieldOptions.OptionTargetType",
               false,     false};
  field[20] = {"edition_defaults",
               11,
               3,
               "google.protobuf.FieldOptions.EditionDefault",
               false,
               false};
  field[21] = {"features", 11, 1, "google.protobuf.FeatureSet", false, false};
  field[5] = {"lazy", 17, 1, "", false, true};
  auto& defaults = b.messages["google.protobuf.FieldOptions.EditionDefault"];
  defaults[3] = {"edition", 14, 1, "google.protobuf.Edition", false, false};
  defaults[2] = {"value", 9, 1, "", false, true};
  auto& features = b.messages["google.protobuf.FeatureSet"];
  features[1] = {"field_presence",
                 14,
                 1,
                 "google.protobuf.FeatureSet.FieldPresence",
                 false,
                 false};
  b.enums["google.protobuf.FileOptions.OptimizeMode"] = {{1, "SPEED"},
                                                         {3, "LITE_RUNTIME"}};
  b.enums["google.protobuf.FieldOptions.OptionTargetType"] = {
      {1, "TARGET_TYPE_FILE"}};
  b.enums["google.protobuf.Edition"] = {{1000, "EDITION_2023"}};
  b.enums["google.protobuf.FeatureSet.FieldPresence"] = {{2, "IMPLICIT"}};
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const pr::BuiltinOptions builtin = make_builtin();
  if (size == 0) return 0;
  Renderer renderer(data[0]);
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1),
                               size - 1);
  const auto text =
      pr::print_file(bytes, renderer, data[0] & 4 ? &builtin : nullptr);
  if (text && (text->empty() || text->back() != '\n')) abort();
  return 0;
}
