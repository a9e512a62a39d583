// Many threads scanning at once in a process whose graph is not loaded yet:
// they race for the first-use load, then read the graph together. Every
// result must equal the single-threaded one. This is its own executable, with
// a single test, so that nothing in the process loads the graph earlier.
#include <gtest/gtest.h>

#include <cstdint>
#include <latch>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "descriptors.h"
#include "lib.h"
#include "wkt_graph.h"

namespace ravick {
namespace {

using Buf = std::vector<uint8_t>;
using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;
using test_descriptors::ALL;
using test_descriptors::COUNT;

constexpr size_t THREADS = 16;
constexpr size_t ROUNDS = 2;

struct Input {
  std::string label;
  Buf data;
  std::optional<Ranges> expected;  // known from how the data was built
};

Ranges scan_ranges(const Buf& data) {
  Ranges out;
  for (const ByteRange& r : scan(data)) out.emplace_back(r.start, r.end);
  return out;
}

void append(Buf& out, std::span<const uint8_t> more) {
  out.insert(out.end(), more.begin(), more.end());
}

void append(Buf& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
}

void append_varint(Buf& out, uint64_t v) {
  for (; v >= 0x80; v >>= 7) out.push_back(static_cast<uint8_t>(v | 0x80));
  out.push_back(static_cast<uint8_t>(v));
}

void append_random(Buf& out, std::mt19937_64& rng, size_t n) {
  for (size_t k = 0; k < n; ++k) out.push_back(static_cast<uint8_t>(rng()));
}

// One real descriptor at offset 0, so that every thread needs the graph at
// once. The 0x00 after it is field number 0, which no message can continue
// with.
Input leading_candidate() {
  Buf data;
  append(data, ALL[1].bytes());
  data.push_back(0x00);
  return {"leading candidate", data, Ranges{{0, ALL[1].size}}};
}

// Every descriptor between random gaps, the first one at offset 0.
Input embedded(std::mt19937_64& rng) {
  Input in{"embedded descriptors", {}, Ranges{}};
  for (size_t k = 0; k < COUNT; ++k) {
    if (k > 0) append_random(in.data, rng, rng() % 400);
    uint64_t start = in.data.size();
    append(in.data, ALL[k].bytes());
    in.expected->emplace_back(start, in.data.size());
    in.data.push_back(0x00);
  }
  append_random(in.data, rng, rng() % 400);
  return in;
}

// Each descriptor cut short at random points, among random bytes.
Input truncated(std::mt19937_64& rng) {
  Input in{"truncated descriptors", {}, std::nullopt};
  for (size_t k = 0; k < COUNT; ++k) {
    auto blob = ALL[k].bytes();
    for (size_t cut : {blob.size() - 1, blob.size() / 2, rng() % blob.size()}) {
      append(in.data, blob.first(cut));
      append_random(in.data, rng, rng() % 64);
    }
  }
  return in;
}

// Each descriptor with a few bytes overwritten.
Input mutated(std::mt19937_64& rng) {
  Input in{"mutated descriptors", {}, std::nullopt};
  for (size_t k = 0; k < COUNT; ++k) {
    Buf blob(ALL[k].data, ALL[k].data + ALL[k].size);
    for (int flips = 0; flips < 8; ++flips) {
      blob[rng() % blob.size()] = static_cast<uint8_t>(rng());
    }
    append(in.data, blob);
    append_random(in.data, rng, rng() % 64);
  }
  return in;
}

// Descriptors directly one after the other: each name record could also
// continue the message before it.
Input back_to_back() {
  Input in{"descriptors back to back", {}, std::nullopt};
  for (size_t k = 0; k < COUNT; ++k) append(in.data, ALL[k].bytes());
  return in;
}

Input random_bytes(std::mt19937_64& rng) {
  Input in{"random bytes, dense in 0x0A", {}, std::nullopt};
  for (size_t k = 0; k < 64 * 1024; ++k) {
    in.data.push_back(rng() % 3 == 0 ? 0x0A : static_cast<uint8_t>(rng()));
  }
  return in;
}

// Name records good and bad, with and without fields after them, lengths
// that miss, and bare ".proto" suffixes: the prefilter passes often.
Input suffix_spam(std::mt19937_64& rng) {
  static const std::vector<std::string> names = {
      "a.proto",        ".proto",       "google/protobuf/any.proto",
      "a//b.proto",     "x/../y.proto", "a\x01.proto",
      "\xC2\xA0.proto", "a\xC3.proto",  "foo.proto.proto"};
  Input in{"many .proto suffixes", {}, std::nullopt};
  for (int k = 0; k < 3000; ++k) {
    const std::string& name = names[rng() % names.size()];
    switch (rng() % 4) {
      case 0:
        append(in.data, ".proto");
        break;
      case 1:  // a length that misses the suffix
        in.data.push_back(0x0A);
        append_varint(in.data, name.size() - 2 + rng() % 5);
        append(in.data, name);
        break;
      default:  // a name record, often followed by a package field
        in.data.push_back(0x0A);
        append_varint(in.data, name.size());
        append(in.data, name);
        if (rng() % 2 == 0) append(in.data, std::string("\x12\x01p", 3));
        append_random(in.data, rng, rng() % 8);
    }
  }
  return in;
}

// A FileDescriptorProto whose first message nests `levels` message types
// inside each other. Up to 1000 levels the whole message is accepted; deeper
// nesting is vetoed, and the scan falls back to the fields before it.
Input deep_nesting(size_t levels) {
  Buf head = {0x0A, 0x0F};
  append(head, "deep/nest.proto");
  append(head, std::string("\x12\x04", 2) + "deep");
  std::vector<uint64_t> sizes = {0};
  for (size_t k = 1; k < levels; ++k) {
    Buf length;
    append_varint(length, sizes.back());
    sizes.push_back(1 + length.size() + sizes.back());
  }
  Buf data = head;
  data.push_back(0x22);  // message_type
  append_varint(data, sizes.back());
  for (size_t k = sizes.size() - 1; k-- > 0;) {
    data.push_back(0x1A);  // nested_type
    append_varint(data, sizes[k]);
  }
  uint64_t end = levels <= 1000 ? data.size() : head.size();
  return {std::to_string(levels) + " nested messages", data, Ranges{{0, end}}};
}

std::vector<Input> build_inputs() {
  std::mt19937_64 rng(20261208);
  std::vector<Input> inputs;
  inputs.push_back(leading_candidate());
  inputs.push_back(embedded(rng));
  inputs.push_back(truncated(rng));
  inputs.push_back(mutated(rng));
  inputs.push_back(back_to_back());
  inputs.push_back(random_bytes(rng));
  inputs.push_back(suffix_spam(rng));
  inputs.push_back(deep_nesting(1000));
  inputs.push_back(deep_nesting(1001));
  return inputs;
}

// Thread `t` scans the leading candidate first, then the other inputs in an
// order rotated by `t`, so that different inputs are scanned side by side.
size_t input_at(size_t t, size_t k, size_t count) {
  return k == 0 ? 0 : 1 + (k - 1 + t) % (count - 1);
}

std::string describe(const Ranges& r) {
  std::ostringstream out;
  out << r.size() << " ranges";
  for (size_t k = 0; k < r.size() && k < 4; ++k) {
    out << " (" << r[k].first << ", " << r[k].second << ")";
  }
  return out.str();
}

TEST(ConcurrentScan, FirstUseLoadAndSharedGraphGiveSingleThreadedResults) {
  ASSERT_FALSE(wkt_graph::is_loaded())
      << "the graph was loaded before the threads started";
  const std::vector<Input> inputs = build_inputs();
  const size_t n = inputs.size();

  // got[t][round][input]
  std::vector<std::vector<std::vector<Ranges>>> got(
      THREADS,
      std::vector<std::vector<Ranges>>(ROUNDS, std::vector<Ranges>(n)));
  std::latch start(THREADS);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (size_t round = 0; round < ROUNDS; ++round) {
        for (size_t k = 0; k < n; ++k) {
          size_t j = input_at(t, k, n);
          got[t][round][j] = scan_ranges(inputs[j].data);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(wkt_graph::is_loaded());

  for (size_t j = 0; j < n; ++j) {
    const Input& in = inputs[j];
    const Ranges single = scan_ranges(in.data);
    if (in.expected) {
      EXPECT_EQ(single, *in.expected) << in.label;
    }
    size_t differing = 0;
    for (size_t t = 0; t < THREADS; ++t) {
      for (size_t round = 0; round < ROUNDS; ++round) {
        if (got[t][round][j] == single) continue;
        if (differing++ == 0) {
          ADD_FAILURE() << in.label << ": thread " << t << " round " << round
                        << " got " << describe(got[t][round][j])
                        << ", single-threaded " << describe(single);
        }
      }
    }
    EXPECT_EQ(differing, 0u) << in.label;
  }
}

}  // namespace
}  // namespace ravick
