#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builtin_options.h"
#include "proto_printer.h"
#include "proto_text.h"
#include "wire_reader.h"

namespace {

namespace pr = ravick::printer;

std::string from_hex(std::string_view hex) {
  std::string out;
  for (size_t k = 0; k + 1 < hex.size(); k += 2) {
    out += static_cast<char>(
        std::stoi(std::string(hex.substr(k, 2)), nullptr, 16));
  }
  return out;
}

std::string varint(size_t n) {
  std::string out;
  do {
    out += static_cast<char>((n & 0x7F) | (n > 0x7F ? 0x80 : 0));
    n >>= 7;
  } while (n != 0);
  return out;
}

// Answers every options message with one fixed rendering, or declines.
class FixedRenderer final : public pr::OptionsRenderer {
 public:
  bool accept = true;
  pr::Rendered answer;
  std::vector<std::string> types;

  bool render(std::string_view type, std::string_view,
              pr::Rendered& out) override {
    types.emplace_back(type);
    out = answer;
    return accept;
  }
};

// A proto3 file with an import, a map, a oneof, reserved ranges, an enum and
// a streaming method (made with the protobuf runtime).
const std::string FILE_BYTES = from_hex(
    "0a07742e70726f746f1201701a07612e70726f746f22770a014d120c0a01611801200128"
    "05520141121c0a047461677318022003280b320e2e702e4d2e54616773456e747279120b"
    "0a016318032001280948001a2b0a0954616773456e747279120b0a036b65791801200128"
    "09120d0a0576616c756518022001280c3a02380142030a016f4a04080510075201782a15"
    "0a014512070a03455f30100012070a03455f31100132180a015312130a0347657412042e"
    "702e4d1a042e702e4d30015000620670726f746f33");

const char* const FILE_TEXT = R"(syntax = "proto3";

package p;

import public "a.proto";

message M {
  int32 a = 1 [json_name = "A"];
  map<string, bytes> tags = 2;
  oneof o {
    string c = 3;
  }
  reserved 5 to 6;
  reserved "x";
}

enum E {
  E_0 = 0;
  E_1 = 1;
}

service S {
  rpc Get(.p.M) returns (stream .p.M);
}
)";

TEST(PrintFile, PrintsDeclarationsAsTheirSourceReads) {
  FixedRenderer renderer;
  const auto text = pr::print_file(FILE_BYTES, renderer);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, FILE_TEXT);
  // The map entry's options are implied by map<K, V>: never rendered.
  EXPECT_TRUE(renderer.types.empty());
}

TEST(PrintFile, DeclinesMalformedAndTruncatedBytes) {
  FixedRenderer renderer;
  for (size_t cut = 1; cut < FILE_BYTES.size(); cut += 7) {
    const auto text = pr::print_file(FILE_BYTES.substr(0, cut), renderer);
    // A cut may fall between fields, leaving a shorter file that prints.
    if (text) {
      EXPECT_EQ(text->back(), '\n');
    }
  }
  EXPECT_FALSE(pr::print_file(std::string("\x0a\x05"
                                          "ab",
                                          4),
                              renderer));
  EXPECT_FALSE(pr::print_file(std::string("\x00\x01", 2), renderer));
  EXPECT_FALSE(pr::print_file(std::string(11, '\xff'), renderer));
}

TEST(PrintFile, DeclinesNestingPastTheRuntimeLimit) {
  FixedRenderer renderer;
  // Levels of nested_type, each a message named M, in one message_type.
  const auto nested = [](int levels) {
    std::string body("\x0a\x01M", 3);
    for (int k = 0; k < levels; ++k)
      body = std::string("\x0a\x01M\x1a", 4) + varint(body.size()) + body;
    return "\x22" + varint(body.size()) + body;
  };
  EXPECT_TRUE(pr::print_file(nested(50), renderer).has_value());
  EXPECT_FALSE(pr::print_file(nested(200), renderer).has_value());
}

TEST(PrintFile, RendersOptionsAndDeclinesWhatTheRendererDeclines) {
  // message M { option (x) = 1; }  with the options as opaque bytes.
  const std::string file = from_hex("22080a014d3a03b83e01");
  FixedRenderer renderer;
  renderer.answer.assignments.push_back({"(x)", {"{", "  a: 1", "}"}});
  renderer.answer.note = "// ravick: left out";
  const auto text = pr::print_file(file, renderer);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(
      *text,
      "syntax = \"proto2\";\n\nmessage M {\n  option (x) = {\n    a: 1\n  "
      "};\n  // ravick: left out\n}\n");
  EXPECT_EQ(renderer.types,
            std::vector<std::string>{"google.protobuf.MessageOptions"});
  renderer.accept = false;
  EXPECT_FALSE(pr::print_file(file, renderer));
}

TEST(BuiltinOptions, RendersKnownFieldsAndLeavesTheRest) {
  pr::BuiltinOptions builtin;
  builtin.messages["google.protobuf.FileOptions"][1] = {
      "java_package", 9, 1, "", false, false};
  builtin.messages["google.protobuf.FileOptions"][9] = {
      "optimize_for", 14,   1, "google.protobuf.FileOptions.OptimizeMode",
      false,          false};
  builtin.enums["google.protobuf.FileOptions.OptimizeMode"] = {
      {3, "LITE_RUNTIME"}};
  pr::Rendered out;
  // java_package = "a\"b", optimize_for = LITE_RUNTIME
  ASSERT_TRUE(pr::render_builtin(builtin, "google.protobuf.FileOptions",
                                 from_hex("0a03612262"
                                          "4803"),
                                 out));
  ASSERT_EQ(out.assignments.size(), 2u);
  EXPECT_EQ(out.assignments[0].name, "java_package");
  EXPECT_EQ(out.assignments[0].value, std::vector<std::string>{"\"a\\\"b\""});
  EXPECT_EQ(out.assignments[1].value, std::vector<std::string>{"LITE_RUNTIME"});
  pr::Rendered rest;
  // An enum number without a name, an unknown field, a wrong wire type.
  for (const char* hex : {"4807", "a81f05", "4a0101"}) {
    EXPECT_FALSE(pr::render_builtin(builtin, "google.protobuf.FileOptions",
                                    from_hex(hex), rest))
        << hex;
  }
}

TEST(WireReader, ReadsFixedValuesAndGroupPayloads) {
  // field 1 fixed32 = 0x04030201, group 2 { field 3 varint 5 }, field 4
  // fixed64.
  const std::string data = from_hex(
      "0d01020304"
      "13"
      "1805"
      "14"
      "21ffffffffffffffff");
  pr::Reader reader(data);
  pr::Entry e;
  ASSERT_TRUE(reader.next(e));
  EXPECT_EQ(e.varint, 0x04030201u);
  ASSERT_TRUE(reader.next(e));
  EXPECT_EQ(e.wire, pr::SGROUP);
  EXPECT_EQ(e.bytes, from_hex("1805"));
  ASSERT_TRUE(reader.next(e));
  EXPECT_EQ(e.varint, UINT64_MAX);
  EXPECT_TRUE(reader.done());
  pr::Reader unclosed(
      from_hex("13"
               "1805"));
  EXPECT_FALSE(unclosed.next(e));
}

TEST(ProtoText, SpellsLiteralsAsProtocReadsThem) {
  EXPECT_TRUE(pr::is_dotted_name(".a.b_1.C"));
  for (const char* bad : {"", ".", "a.", "a..b", "1a", "a-b", "..a"}) {
    EXPECT_FALSE(pr::is_dotted_name(bad)) << bad;
  }
  EXPECT_EQ(pr::quoted_bytes(std::string("\x00\n\"'\\\x7f\xff", 7)),
            "\"\\000\\n\\\"\\'\\\\\\177\\377\"");
  EXPECT_FALSE(pr::quoted_text("\xc3\xa9"));
  EXPECT_EQ(pr::c_unescape("\\x41\\101\\n\\q\\"), "AA\n\\q\\");
  EXPECT_EQ(pr::derived_json_name("foo__bar_1x"), "fooBar1x");
  EXPECT_EQ(pr::map_entry_name("my_map"), "MyMapEntry");
  for (const char* ok :
       {"1", "-1.5", "1e5", "1E+-5", ".5", "inf", "-nan", "1.5e"}) {
    EXPECT_TRUE(pr::is_float_literal(ok)) << ok;
  }
  for (const char* bad : {"", "-", ".", "1e+", "0x1", "INF", "1.2.3"}) {
    EXPECT_FALSE(pr::is_float_literal(bad)) << bad;
  }
  EXPECT_EQ(pr::char_count("a\xc3\xa9z"), 3u);
}

}  // namespace
