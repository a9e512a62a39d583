// Scan throughput on one data set (one or more files, each scanned as its own
// buffer), against two passes over the same bytes in the same process: a
// plain read and a memchr loop that stops at every 0x0A byte. Prints one
// markdown table row; `--header` prints the table head.
//
//   ravick_bench --label NAME [--samples N] [--expect RANGES] FILE...
//
// RANGES lists the descriptors embedded in a single FILE, one "start end
// name" line each; the row then says how many of them the scan found.

#include <malloc.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "baselines.h"
#include "lib.h"
#include "score/entry.h"
#include "wkt_graph.h"

// Heap use of everything allocated through operator new (the scanner's and
// the scorer's arrays), for the peak the scan reaches above its input.
namespace heap {
uint64_t current = 0;
uint64_t peak = 0;
}  // namespace heap

void* operator new(size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  heap::current += malloc_usable_size(p);
  heap::peak = std::max(heap::peak, heap::current);
  return p;
}
void operator delete(void* p) noexcept {
  if (p != nullptr) heap::current -= malloc_usable_size(p);
  std::free(p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

using ravick::bench::Bytes;
using Range = std::pair<uint64_t, uint64_t>;

struct Args {
  std::string label;
  std::string expect_path;
  int samples = 7;
  int profile = 0;  // > 0: only scan this many times, for a profiler
  std::vector<std::string> files;
};

struct Timing {
  double best = 0;  // seconds per pass over the whole data set
  double median = 0;
};

struct Row {
  std::string label;
  uint64_t bytes = 0;
  Timing scan, read, newline;
  std::string read_method;
  uint64_t found = 0;
  uint64_t scorer_calls = 0;
  long rss_growth_kb = 0;
  uint64_t heap_peak = 0;  // above what was allocated before the scan
  std::string expect_note;
};

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "ravick_bench: %s\n", message.c_str());
  std::exit(2);
}

Args parse_args(int argc, char** argv) {
  Args args;
  for (int k = 1; k < argc; ++k) {
    std::string a = argv[k];
    auto value = [&]() -> std::string {
      if (k + 1 >= argc) die("missing value after " + a);
      return argv[++k];
    };
    if (a == "--label") {
      args.label = value();
    } else if (a == "--expect") {
      args.expect_path = value();
    } else if (a == "--profile") {
      args.profile = std::max(1, std::atoi(value().c_str()));
    } else if (a == "--samples") {
      args.samples = std::max(1, std::atoi(value().c_str()));
    } else {
      args.files.push_back(a);
    }
  }
  if (args.files.empty()) die("no input files");
  if (args.label.empty()) args.label = args.files.front();
  return args;
}

std::vector<uint8_t> read_file(const std::string& path) {
  // Sized up front: a growing vector would raise the peak resident size
  // above the input's own and hide what the scan adds.
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) die("cannot read " + path);
  std::vector<uint8_t> data(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(data.data()),
               static_cast<std::streamsize>(data.size()))) {
    die("cannot read " + path);
  }
  return data;
}

long max_rss_kb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The calling thread's CPU time: on a shared machine the wall clock also
// counts the time other processes hold the core.
double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// Runs `pass` over every buffer `inner` times per sample; returns the time
// of one pass over the whole data set, best and median over the samples.
Timing measure(const std::vector<Bytes>& buffers, int samples, int inner,
               const std::function<uint64_t(Bytes)>& pass) {
  std::vector<double> seconds;
  volatile uint64_t sink = 0;  // keeps the passes from being optimised away
  for (int s = 0; s < samples; ++s) {
    double t0 = thread_seconds();
    for (int r = 0; r < inner; ++r) {
      for (Bytes b : buffers) sink = sink + pass(b);
    }
    seconds.push_back((thread_seconds() - t0) / inner);
  }
  std::sort(seconds.begin(), seconds.end());
  return {seconds.front(), seconds[seconds.size() / 2]};
}

std::vector<Range> read_expected(const std::string& path) {
  std::ifstream in(path);
  if (!in) die("cannot read " + path);
  std::vector<Range> ranges;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    uint64_t start = 0, end = 0;
    if (fields >> start >> end) ranges.emplace_back(start, end);
  }
  return ranges;
}

std::string compare_expected(const std::vector<Range>& expected,
                             const std::vector<ravick::ByteRange>& found) {
  std::set<Range> got;
  for (auto r : found) got.emplace(r.start, r.end);
  uint64_t hit = 0, missed = 0;
  for (const Range& r : expected) {
    if (got.count(r) != 0) {
      ++hit;
    } else if (++missed <= 20) {
      std::fprintf(stderr, "missed embedded range %llu-%llu\n",
                   static_cast<unsigned long long>(r.first),
                   static_cast<unsigned long long>(r.second));
    }
  }
  uint64_t extra = got.size() - hit;
  std::ostringstream note;
  if (hit == expected.size()) {
    note << "all " << expected.size() << " embedded found";
  } else {
    note << hit << " of " << expected.size() << " embedded found";
  }
  if (extra != 0) note << ", " << extra << " other";
  return note.str();
}

// The scan, with a counter around the scorer: how many offsets passed the
// prefilter and reached the expensive step.
uint64_t count_scorer_calls(Bytes buf) {
  uint64_t calls = 0;
  ravick::scan_with(buf, [&](Bytes candidate) {
    ++calls;
    return vornatrel::score::score_one(candidate, ravick::CANDIDATE_TYPE,
                                       ravick::wkt_graph::graph().root(),
                                       ravick::SCAN_OPTIONS);
  });
  return calls;
}

double gbps(uint64_t bytes, double seconds) { return bytes / seconds / 1e9; }

void print_header() {
  std::printf(
      "| data | size (MB) | scan GB/s best (median) | read GB/s (pass) | "
      "every-0x0A "
      "GB/s | scan time / read | scan time / every-0x0A | found | scorer "
      "calls | peak heap / input | peak RSS growth |\n"
      "|---|--:|--:|--:|--:|--:|--:|---|--:|--:|--:|\n");
}

void print_row(const Row& r) {
  std::printf(
      "| %s | %.1f | %.2f (%.2f) | %.2f (%s) | %.2f | %.2fx | %.2fx | %llu%s | "
      "%llu | %.4f%% (%.0f KB) | %ld KB |\n",
      r.label.c_str(), r.bytes / 1e6, gbps(r.bytes, r.scan.best),
      gbps(r.bytes, r.scan.median), gbps(r.bytes, r.read.best),
      r.read_method.c_str(), gbps(r.bytes, r.newline.best),
      r.scan.best / r.read.best, r.scan.best / r.newline.best,
      static_cast<unsigned long long>(r.found),
      r.expect_note.empty() ? "" : (" (" + r.expect_note + ")").c_str(),
      static_cast<unsigned long long>(r.scorer_calls),
      100.0 * r.heap_peak / r.bytes, r.heap_peak / 1024.0, r.rss_growth_kb);
}

Row run(const Args& args) {
  std::vector<std::vector<uint8_t>> storage;
  std::vector<Bytes> buffers;
  Row row;
  row.label = args.label;
  for (const auto& f : args.files) storage.push_back(read_file(f));
  for (const auto& s : storage) {
    buffers.emplace_back(s.data(), s.size());
    row.bytes += s.size();
  }
  if (row.bytes == 0) die("empty data set");

  // The first scan, untimed: loads the graph and shows what the scan itself
  // adds to the peak resident size on top of the input already in memory.
  long rss_before = max_rss_kb();
  uint64_t heap_before = heap::current;
  heap::peak = heap::current;
  std::vector<ravick::ByteRange> first;
  for (Bytes b : buffers) {
    auto found = ravick::scan(b);
    row.found += found.size();
    if (buffers.size() == 1) first = std::move(found);
  }
  row.rss_growth_kb = max_rss_kb() - rss_before;
  row.heap_peak = heap::peak - heap_before;
  for (Bytes b : buffers) row.scorer_calls += count_scorer_calls(b);

  if (!args.expect_path.empty()) {
    if (buffers.size() != 1) die("--expect needs exactly one input file");
    row.expect_note = compare_expected(read_expected(args.expect_path), first);
  }

  std::function<uint64_t(Bytes)> read;
  if (auto absent = ravick::bench::absent_byte(buffers)) {
    char name[32];
    std::snprintf(name, sizeof name, "memchr(0x%02X)", *absent);
    row.read_method = name;
    uint8_t v = *absent;
    read = [v](Bytes b) { return ravick::bench::read_by_memchr(b, v); };
  } else {
    row.read_method = "count(0x00)";
    read = ravick::bench::read_by_count;
  }
  std::function<uint64_t(Bytes)> scan = [](Bytes b) {
    return static_cast<uint64_t>(ravick::scan(b).size());
  };

  // Small data sets are passed over several times per sample so that one
  // sample covers at least 256 MB.
  constexpr uint64_t sample_bytes = uint64_t{256} << 20;
  int inner = static_cast<int>(
      std::max<uint64_t>(1, (sample_bytes + row.bytes - 1) / row.bytes));
  row.read = measure(buffers, args.samples, inner, read);
  row.newline =
      measure(buffers, args.samples, inner, ravick::bench::every_0a_pass);
  row.scan = measure(buffers, args.samples, inner, scan);
  return row;
}

// Nothing but the scan, for a profiler to look at.
int profile_scan(const Args& args) {
  std::vector<std::vector<uint8_t>> storage;
  for (const auto& f : args.files) storage.push_back(read_file(f));
  uint64_t found = 0;
  for (int r = 0; r < args.profile; ++r) {
    for (const auto& s : storage) found += ravick::scan(Bytes(s)).size();
  }
  std::printf("%llu ranges\n", static_cast<unsigned long long>(found));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--header") {
    print_header();
    return 0;
  }
  Args args = parse_args(argc, argv);
  if (std::string(RAVICK_BENCH_BUILD_TYPE) != "Release") {
    std::fprintf(stderr, "ravick_bench: built as %s, not Release\n",
                 RAVICK_BENCH_BUILD_TYPE);
  }
  if (args.profile > 0) return profile_scan(args);
  print_row(run(args));
  return 0;
}
