// The depth limit of the walk, and the stack it needs: deep nesting must be
// vetoed, never overflow a worker thread's stack. Each deep walk runs on a
// thread whose stack is a fresh mapping filled with a pattern (with a guard
// page below it), so the test can also report how much of it was touched.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "graph_writer.h"
#include "score/entry.h"
#include "score/walk.h"
#include "wire_bytes.h"

namespace vornatrel::score {
namespace {

using namespace wire_bytes;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t STACK_SIZE = size_t{8} << 20;  // instrumented frames
#else
constexpr size_t STACK_SIZE = size_t{1} << 20;
#endif
constexpr uint8_t FILL = 0xA5;

void* run_function(void* arg) {
  (*static_cast<std::function<void()>*>(arg))();
  return nullptr;
}

// Runs `f` on a thread with a STACK_SIZE stack; returns how many bytes of the
// stack were written (thread descriptor and TLS at its top included).
size_t run_on_small_stack(std::function<void()> f) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  void* map = ::mmap(nullptr, STACK_SIZE + page, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  EXPECT_NE(map, MAP_FAILED);
  if (map == MAP_FAILED) return 0;
  uint8_t* guard = static_cast<uint8_t*>(map);
  uint8_t* stack = guard + page;
  EXPECT_EQ(::mprotect(guard, page, PROT_NONE), 0);
  std::memset(stack, FILL, STACK_SIZE);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack, STACK_SIZE);
  pthread_t thread;
  EXPECT_EQ(pthread_create(&thread, &attr, run_function, &f), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);

  size_t untouched = 0;
  while (untouched < STACK_SIZE && stack[untouched] == FILL) ++untouched;
  ::munmap(map, STACK_SIZE + page);
  return STACK_SIZE - untouched;
}

const Buf NAME = lfield(1, text("a.proto"));

// A FileDescriptorProto whose message_type nests DescriptorProtos through
// nested_type, the innermost (empty) one walked at depth `levels`.
Buf nested_file(size_t levels) {
  // sizes[i]: payload size of the message walked at depth i.
  std::vector<uint64_t> sizes(levels + 1, 0);
  for (size_t i = levels - 1; i >= 1; --i) {
    sizes[i] = 1 + varint(sizes[i + 1]).size() + sizes[i + 1];
  }
  Buf out = cat({NAME, tag(4, 2), varint(sizes[1])});
  out.reserve(out.size() + sizes[1]);
  for (size_t i = 1; i < levels; ++i) {
    const Buf head = cat({tag(3, 2), varint(sizes[i + 1])});
    out.insert(out.end(), head.begin(), head.end());
  }
  return out;
}

constexpr const char* FILE_TYPE = "google.protobuf.FileDescriptorProto";

ScoreResult score_file(const Buf& bytes, const ScoreOptions& options) {
  return score_one(bytes, FILE_TYPE, wkt(), options).value();
}

TEST(WalkDepth, Depth1000IsWalked) {
  const ScoreResult r = score_file(nested_file(1000), exact_options());
  EXPECT_FALSE(r.vetoed);
  EXPECT_EQ(r.matched, 1001u);
}

TEST(WalkDepth, Depth1001IsVetoed) {
  const Buf bytes = nested_file(1001);
  EXPECT_TRUE(score_file(bytes, exact_options()).vetoed);
  const ScoreResult scan = score_file(bytes, scan_options());
  EXPECT_FALSE(scan.vetoed);
  EXPECT_EQ(scan.end, NAME.size());
  EXPECT_EQ(scan.matched, 1u);
}

TEST(WalkDepth, TraceLineOfATooDeepCandidate) {
  const Buf bytes = nested_file(1001);
  EXPECT_EQ(trace_of(wkt(), bytes, FILE_TYPE, scan_options()),
            "[veto] google.protobuf.FileDescriptorProto \xE2\x80\x94 "
            "recursion depth exceeded\n");
  {
    DebugTypeGuard guard("google.protobuf.DescriptorProto");
    ::testing::internal::CaptureStderr();
    score_file(bytes, scan_options());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  }
}

TEST(WalkDepth, DeepMessagesOnASmallStack) {
  const Buf deep = nested_file(1001);
  const Buf deeper = nested_file(100000);
  std::optional<ScoreResult> r1, r2;
  const size_t used = run_on_small_stack([&] {
    r1 = score_one(deep, FILE_TYPE, wkt(), scan_options());
    r2 = score_one(deeper, FILE_TYPE, wkt(), scan_options());
  });
  ASSERT_TRUE(r1 && r2);
  EXPECT_EQ(r1->end, NAME.size());
  EXPECT_EQ(r2->end, NAME.size());
  EXPECT_LT(used, STACK_SIZE / 2);
  std::printf("stack used by 1001 nested messages: %zu bytes (%zu per level)\n",
              used, used / 1001);
}

// Option.value is an Any: an Any naming Option nests one level per Any.
Buf nested_options(size_t levels) {
  Buf value;
  for (size_t i = 0; i < levels; ++i) {
    value = cat({lfield(1, text("x")),
                 lfield(2, cat({lfield(1, text("/google.protobuf.Option")),
                                lfield(2, value)}))});
  }
  return value;
}

TEST(WalkDepth, DeepAnyValuesOnASmallStack) {
  // The outermost Option is at depth 0, the value of its Any at depth 1.
  const Buf walked = nested_options(1000);
  const Buf too_deep = nested_options(1001);
  std::optional<ScoreResult> ok, vetoed;
  const size_t used = run_on_small_stack([&] {
    ok = score_one(walked, "google.protobuf.Option", wkt(), exact_options());
    vetoed =
        score_one(too_deep, "google.protobuf.Option", wkt(), exact_options());
  });
  ASSERT_TRUE(ok && vetoed);
  EXPECT_FALSE(ok->vetoed);
  EXPECT_TRUE(vetoed->vetoed);
  EXPECT_LT(used, STACK_SIZE / 2);
  std::printf("stack used by 1001 nested Any values: %zu bytes\n", used);
}

TEST(WalkDepth, DeepGroupsOnASmallStack) {
  // G's field 1 is a group of H, H's field 2 a group of G: no body holds a
  // field with the number of the END_GROUP that closes it.
  using namespace graph_writer;
  GraphPlan g;
  g.nodes = {
      {.key = 0},
      {.key = 1, .fields = {{.number = 1, .wire_type = 3, .target = 2}}},
      {.key = 2, .fields = {{.number = 2, .wire_type = 3, .target = 1}}}};
  g.type_names = {{"google.protobuf.Any", 0}, {"t.G", 1}, {"t.H", 2}};
  const TestGraph graph = make_graph(g);
  auto groups = [](size_t levels) {
    Buf out;
    for (size_t i = 0; i < levels; ++i) out.push_back(i % 2 ? 0x13 : 0x0B);
    for (size_t i = levels; i-- > 0;) out.push_back(i % 2 ? 0x14 : 0x0C);
    return out;
  };
  const Buf walked = groups(1000);
  const Buf too_deep = groups(1001);
  std::optional<ScoreResult> ok, vetoed;
  const size_t used = run_on_small_stack([&] {
    ok = score_one(walked, "t.G", graph.root(), exact_options());
    vetoed = score_one(too_deep, "t.G", graph.root(), exact_options());
  });
  ASSERT_TRUE(ok && vetoed);
  EXPECT_FALSE(ok->vetoed);
  EXPECT_EQ(ok->matched, 1000u);
  EXPECT_EQ(ok->end, walked.size());
  EXPECT_TRUE(vetoed->vetoed);
  EXPECT_LT(used, STACK_SIZE / 2);
  std::printf("stack used by 1001 nested groups: %zu bytes\n", used);
}

}  // namespace
}  // namespace vornatrel::score
