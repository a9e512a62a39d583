#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "descriptor_view.h"
#include "file_facts.h"
#include "options_renderer.h"
#include "proto_printer.h"
#include "proto_text.h"
#include "symbol_index.h"
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

// A descriptor.proto of one message (FileOptions: java_package, an enum
// optimize_for), a file extending it with (x.level) = 50000, and a file that
// imports that one and sets java_package "a" and (x.level) 7.
const std::string MINI_DESCRIPTOR = from_hex(
    "0a20676f6f676c652f70726f746f6275662f64657363726970746f722e70726f746f120f"
    "676f6f676c652e70726f746f627566229c010a0b46696c654f7074696f6e7312140a0c6a"
    "6176615f7061636b616765180120012809123f0a0c6f7074696d697a655f666f72180920"
    "01280e32292e676f6f676c652e70726f746f6275662e46696c654f7074696f6e732e4f70"
    "74696d697a654d6f6465222b0a0c4f7074696d697a654d6f646512090a05535045454410"
    "0112100a0c4c4954455f52554e54494d4510032a0908e807108080808002");
const std::string EXTENDING = from_hex(
    "0a076f2e70726f746f1201781a20676f6f676c652f70726f746f6275662f646573637269"
    "70746f722e70726f746f3a2d0a056c6576656c121c2e676f6f676c652e70726f746f6275"
    "662e46696c654f7074696f6e7318d0860320012805");
const std::string SETTING =
    from_hex("0a07662e70726f746f1a076f2e70726f746f42070a016180b51807");

TEST(RenderOptions, RendersKnownFieldsAndCustomOptionsByName) {
  const auto builtin = pr::SymbolIndex::build({MINI_DESCRIPTOR});
  const auto files = pr::SymbolIndex::build({SETTING, EXTENDING});
  ASSERT_TRUE(builtin && files);
  FixedRenderer renderer;
  renderer.accept = false;  // everything must be rendered natively
  const auto text =
      pr::print_file(SETTING, renderer, builtin.get(), files.get());
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(
      *text,
      "syntax = \"proto2\";\n\nimport \"o.proto\";\n\noption java_package = "
      "\"a\";\noption (.x.level) = 7;\n");
  // Without the files, the custom option is left to the renderer.
  EXPECT_FALSE(pr::print_file(SETTING, renderer, builtin.get(), nullptr));
  EXPECT_EQ(renderer.types,
            std::vector<std::string>{"google.protobuf.FileOptions"});
}

TEST(RenderOptions, NotesWhatItLeavesOutAndDefersTheRest) {
  const auto builtin = pr::SymbolIndex::build({MINI_DESCRIPTOR});
  const auto files = pr::SymbolIndex::build({SETTING, EXTENDING});
  const auto printed = pr::read_file(SETTING);
  ASSERT_TRUE(builtin && files && printed);
  const std::string prefix =
      "// ravick: options left out, no printable definition: ";
  const std::pair<const char*, const char*> cases[] = {
      // An enum number without a name, plain and packed.
      {"4807", "optimize_for (field 9, wire type 0)"},
      {"4a0107", "optimize_for (field 1, wire type 0)"},
      // An unknown field, a field number past int32, malformed bytes.
      {"a81f05", "501 of google.protobuf.FileOptions"},
      {"f8ffffffff1f01", "137438953471 of google.protobuf.FileOptions"},
      {"0a05", "malformed google.protobuf.FileOptions"},
      // java_package past ASCII: the Python renderer's.
      {"0a02c3a9", nullptr},
  };
  for (const auto& [hex, note] : cases) {
    pr::Symbols symbols(*builtin, files.get(), *printed);
    pr::Rendered out;
    const bool rendered = pr::render_options(
        symbols, "google.protobuf.FileOptions", from_hex(hex), out);
    EXPECT_EQ(rendered, note != nullptr) << hex;
    if (rendered && note != nullptr) {
      EXPECT_EQ(out.note, prefix + note) << hex;
    }
  }
  EXPECT_FALSE(pr::SymbolIndex::build({SETTING, from_hex("0a056162")}));
}

TEST(SymbolIndex, AReplacingIndexReadsItsBaseWithTheNewVersionFirst) {
  // o.proto again, its package y instead of x.
  const std::string other_version = from_hex(
      "0a076f2e70726f746f1201791a20676f6f676c652f70726f746f6275662f646573637269"
      "70746f722e70726f746f3a2d0a056c6576656c121c2e676f6f676c652e70726f746f6275"
      "662e46696c654f7074696f6e7318d0860320012805");
  const auto builtin = pr::SymbolIndex::build({MINI_DESCRIPTOR});
  const auto base = pr::SymbolIndex::build({SETTING, EXTENDING});
  ASSERT_TRUE(builtin && base);
  const auto replaced = pr::SymbolIndex::replacing(*base, other_version);
  ASSERT_TRUE(replaced);
  EXPECT_TRUE(base->defines("x", true));
  EXPECT_FALSE(replaced->defines("x", true));
  EXPECT_TRUE(replaced->defines("y.level", false));
  EXPECT_FALSE(replaced->defines("y.level", true));
  ASSERT_NE(replaced->file_named("o.proto"), nullptr);
  EXPECT_EQ(replaced->file_named("o.proto")->package, "y");
  EXPECT_EQ(replaced->file_named("f.proto"), base->file_named("f.proto"));
  FixedRenderer renderer;
  renderer.accept = false;
  const auto text =
      pr::print_file(SETTING, renderer, builtin.get(), replaced.get());
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("option (.y.level) = 7;"), std::string::npos) << *text;
  EXPECT_FALSE(pr::SymbolIndex::replacing(*base, from_hex("0a056162")));
}

TEST(FileFacts, NamesPackagesExtensionsAndCustomOptionsInTheOrderMet) {
  // package a.b; message M { int32 x = 1 [(501) = 5]; oneof o {} enum E { E0 }
  // extend ..a.b.M { int32 ext = 100; } option (7687) twice; } service S
  // { rpc Get }
  const std::string file = from_hex(
      "0a07662e70726f746f1203612e6222450a014d120e0a01781801200128054203a81f0522"
      "0b0a014512060a024530100032140a0365787412072e2e612e622e4d1864200128053a08"
      "b8e0030cb8e0030242030a016f321a0a015312150a0347657412062e612e622e4d1a062e"
      "612e622e4d");
  const auto builtin = pr::SymbolIndex::build({MINI_DESCRIPTOR});
  ASSERT_TRUE(builtin);
  const auto facts = pr::file_facts(file, *builtin);
  ASSERT_TRUE(facts.has_value());
  std::vector<std::string> names = facts->names;
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.b.M", "a.b.M.E", "a.b.M.E0",
                                             "a.b.M.ext", "a.b.M.o", "a.b.M.x",
                                             "a.b.S", "a.b.S.Get"}));
  EXPECT_EQ(facts->packages, (std::vector<std::string>{"a", "a.b"}));
  ASSERT_EQ(facts->extension_numbers.size(), 1u);
  EXPECT_EQ(facts->extension_numbers[0].extendee, "a.b.M");
  EXPECT_EQ(facts->extension_numbers[0].number, 100);
  ASSERT_EQ(facts->option_uses.size(), 2u);
  EXPECT_EQ(facts->option_uses[0].options_type,
            "google.protobuf.MessageOptions");
  EXPECT_EQ(facts->option_uses[0].number, 7687u);
  EXPECT_TRUE(facts->option_uses[0].repeated);
  EXPECT_EQ(facts->option_uses[1].options_type, "google.protobuf.FieldOptions");
  EXPECT_EQ(facts->option_uses[1].wire_types, 1u);
  EXPECT_FALSE(facts->option_uses[1].repeated);
  ASSERT_EQ(facts->references.size(), 3u);
  EXPECT_EQ(facts->references[0].name, ".a.b.M");  // one leading dot taken
  EXPECT_EQ(facts->references[0].kind, pr::Reference::extendee);
  EXPECT_EQ(facts->references[2].name, "a.b.M");
  EXPECT_EQ(facts->references[2].kind, pr::Reference::message);
  EXPECT_FALSE(pr::file_facts(file.substr(0, file.size() - 3), *builtin));
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
  const std::string unclosed_group = from_hex("131805");
  pr::Reader unclosed(unclosed_group);
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

TEST(ProtoText, SpellsFloatsAsPythonDoes) {
  const std::pair<double, const char*> doubles[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1e16, "1e+16"},
      {1e15, "1000000000000000.0"},
      {1.5e16, "1.5e+16"},
      {1e-4, "0.0001"},
      {1e-5, "1e-05"},
      {0.1, "0.1"},
      {5e-324, "5e-324"},
      {123.0, "123.0"},
      {-2.5, "-2.5"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& [value, text] : doubles) {
    EXPECT_EQ(pr::float_text(value, false), text) << text;
  }
  // Floats: the fewest digits that read back as the same float, skipping
  // texts that round past the largest one.
  EXPECT_EQ(pr::float_text(0.1f, true), "0.1");
  EXPECT_EQ(pr::float_text(3.4027999387901484e38, true), "3.4028e+38");
  EXPECT_EQ(pr::float_text(1e-45f, true), "1e-45");
}

}  // namespace
