// What decoding an item list costs, against parsing its bytes into an nlohmann/json tree.
//
// The items endpoint returns `{"items": [...]}`. The client reads the body with the coding
// layer's document reader and decodes the list into `KestroItem` values (DecodeItems); the
// baseline is the nlohmann/json parse of the same bytes alone (ParseItems). Target: decode/parse
// <= 0.2. Each thread keeps the parser it read its last page with, so DecodeItems is a client
// reading page after page; DecodeItemsFirstInThread is the first page, whose parser's memory is
// new. ParseAndDecodeItems is the same decode from the tree, for callers that hold one.
//
// Run: kestro-benchmarks [--benchmark_repetitions=N]; the ratios use the best CPU time of each.
// Unless told otherwise (by flag or by the library's environment variables), each benchmark runs
// five times and the runs of all of them are taken in a shuffled order.
// `kestro-benchmarks --peak-memory=<MiB>` instead decodes one body of about that size, handed
// over as the API client hands a response's body, and prints the peak resident memory from
// before the body was built, against the body's size (target <= 3x for 60 MiB), and what stays
// resident once the values are freed too (a thread keeps its parser for bodies up to 32 MiB).

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "Benchmarks/ProcessMeasures.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Models/ServerModels.h"

namespace {

using kestro::JSON;

constexpr std::size_t kItemCount = 10'000;

// A fixed-seed generator, so every run and every machine decodes the same body.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }
  bool chance(unsigned percent) { return below(100) < percent; }

 private:
  std::uint64_t state_;
};

// Some words carry accents, other scripts, emoji and characters that JSON has to escape, as
// titles and page text do.
constexpr std::string_view kWords[] = {
    "capture", "reading", "notes",  "meeting", "Übersicht",  "café",        "naïve",
    "東京",    "данные",  "🙂",   "résumé",  "the",        "and",         "of",
    "project", "design",  "review", "budget",  "\"quoted\"", "line\nbreak", "tab\tstop",
    "2025",    "draft",   "Zürich", "señal",   "λόγος",      "report",      "summary"};

std::string words(SplitMix64& random, std::size_t minimum, std::size_t maximum) {
  const std::size_t count = minimum + random.below(maximum - minimum + 1);
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) text += ' ';
    text += kWords[random.below(std::size(kWords))];
  }
  return text;
}

std::string uuidText(SplitMix64& random) {
  kestro::UUID::Bytes bytes;
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random.next());
  std::string text = kestro::UUID(bytes).uuidString();
  // Some servers write lower case; the reader must take both.
  if (random.chance(25)) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  }
  return text;
}

std::string dateText(std::int64_t secondsSince1970) {
  return kestro::formatInternetDate(kestro::Date{} + std::chrono::seconds(secondsSince1970));
}

JSON relationship(SplitMix64& random, std::int64_t when) {
  constexpr const char* kTypes[] = {"references", "duplicates", "follows_up", "mentions"};
  JSON value = {{"id", uuidText(random)},
                {"relatedItemId", uuidText(random)},
                {"type", kTypes[random.below(std::size(kTypes))]},
                {"source", random.chance(50) ? "system" : "user"},
                {"direction", random.chance(50) ? "outgoing" : "incoming"},
                {"createdAt", dateText(when)},
                {"updatedAt", dateText(when + 90)}};
  if (random.chance(40)) value["note"] = words(random, 3, 12);
  if (random.chance(60)) value["confidence"] = static_cast<double>(random.below(1000)) / 1000.0;
  return value;
}

JSON metadata(SplitMix64& random) {
  JSON value = JSON::object();
  value["language"] = random.chance(70) ? "en" : "de";
  value["wordCount"] = random.below(20'000);
  if (random.chance(50)) value["readingMinutes"] = static_cast<double>(random.below(600)) / 10.0;
  if (random.chance(40)) value["paywalled"] = random.chance(20);
  if (random.chance(40)) {
    value["tags"] = JSON::array();
    for (std::size_t i = random.below(4); i > 0; --i) value["tags"].push_back(words(random, 1, 1));
  }
  if (random.chance(30)) {
    value["site"] = {{"name", words(random, 1, 2)}, {"favicon", nullptr}};
  }
  return value;
}

JSON item(SplitMix64& random, std::size_t index) {
  constexpr const char* kKinds[] = {"url",        "selected_text", "screen_context", "image",
                                    "video_file", "pdf",           "file",           "note"};
  constexpr const char* kStatuses[] = {"ready", "processing", "failed"};
  const std::int64_t capturedAt =
      1'735'689'600 + static_cast<std::int64_t>(index) * 3'607 + random.below(3'600);
  JSON value = {{"id", uuidText(random)},
                {"kind", kKinds[random.below(std::size(kKinds))]},
                {"status", kStatuses[random.below(std::size(kStatuses))]},
                {"title", words(random, 2, 10)},
                {"annotation", random.chance(30) ? words(random, 3, 30) : ""},
                {"metadata", metadata(random)},
                {"relationships", JSON::array()},
                {"capturedAt", dateText(capturedAt)},
                {"createdAt", dateText(capturedAt + 2)},
                {"updatedAt", dateText(capturedAt + 2 + random.below(86'400))}};
  if (random.chance(70)) {
    value["canonicalUrl"] = "https://example.com/articles/" + std::to_string(index) +
                            "?ref=" + std::to_string(random.below(100));
  }
  if (random.chance(30)) value["userContent"] = words(random, 10, 50);
  if (random.chance(40)) value["normalizedMarkdown"] = "# " + words(random, 50, 200);
  if (random.chance(50)) value["extractedText"] = words(random, 50, 200);
  if (random.chance(60)) value["summary"] = words(random, 15, 40);
  for (std::size_t i = random.below(4); i > 0; --i) {
    value["relationships"].push_back(relationship(random, capturedAt + 60));
  }
  return value;
}

const std::string& itemsBody() {
  static const std::string body = [] {
    SplitMix64 random(0x6B657374726Full);
    JSON items = JSON::array();
    for (std::size_t i = 0; i < kItemCount; ++i) items.push_back(item(random, i));
    std::string text = JSON{{"items", std::move(items)}}.dump();
    // With the spare capacity a response body is received with (see kJSONReadPadding).
    text.reserve(text.size() + kestro::kJSONReadPadding);
    return text;
  }();
  return body;
}

std::vector<kestro::KestroItem> decodeItems(const JSON& body) {
  const kestro::CodingPath rootPath;  // the decoder keeps a reference to it
  const kestro::ObjectDecoder root(body, rootPath);
  return root.required<std::vector<kestro::KestroItem>>("items");
}

// As the API client reads a response body. Takes a const body (kept for the next round) or one
// moved in, which is freed once parsed, as the API client hands over a response's body.
template <class Body>
std::vector<kestro::KestroItem> decodeItemsText(Body&& body) {
  return kestro::readJSONString(std::forward<Body>(body), [](const auto& json) {
    const kestro::CodingPath rootPath;
    const kestro::ObjectDecoder root(json, rootPath);
    return root.required<std::vector<kestro::KestroItem>>("items");
  });
}

void BM_ParseItems(benchmark::State& state) {
  const std::string& body = itemsBody();
  for (auto _ : state) {
    JSON json = JSON::parse(body);
    benchmark::DoNotOptimize(json);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}

void BM_ParseAndDecodeItems(benchmark::State& state) {
  const std::string& body = itemsBody();
  for (auto _ : state) {
    JSON json = JSON::parse(body);
    std::vector<kestro::KestroItem> items = decodeItems(json);
    if (items.size() != kItemCount) state.SkipWithError("decoded the wrong number of items");
    benchmark::DoNotOptimize(items);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}

void BM_DecodeItems(benchmark::State& state) {
  const std::string& body = itemsBody();
  for (auto _ : state) {
    std::vector<kestro::KestroItem> items = decodeItemsText(body);
    if (items.size() != kItemCount) state.SkipWithError("decoded the wrong number of items");
    benchmark::DoNotOptimize(items);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}

double threadCPUSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The same decode as the first in a thread, whose parser's memory is new rather than kept from
// the thread's last document: the CPU time of a thread started for each round.
void BM_DecodeItemsFirstInThread(benchmark::State& state) {
  const std::string& body = itemsBody();
  for (auto _ : state) {
    double seconds = 0;
    std::size_t count = 0;
    std::thread([&] {
      const double start = threadCPUSeconds();
      count = decodeItemsText(body).size();
      seconds = threadCPUSeconds() - start;
    }).join();
    if (count != kItemCount) state.SkipWithError("decoded the wrong number of items");
    state.SetIterationTime(seconds);
  }
}

BENCHMARK(BM_ParseItems)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeItems)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeItemsFirstInThread)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseAndDecodeItems)->Unit(benchmark::kMillisecond);

// Prints as the console reporter does and keeps the best CPU time of each benchmark (the median
// when only aggregates are reported). CPU time rather than wall time, because the machines that
// run this are shared and a preempted run inflates only the latter.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& reports) override {
    for (const Run& run : reports) {
      if (run.error_occurred) continue;
      Times& times = times_[run.run_name.function_name];
      // The benchmark timed by hand reports a thread's CPU time as its time.
      const double time = run.run_name.function_name == "BM_DecodeItemsFirstInThread"
                              ? run.GetAdjustedRealTime()
                              : run.GetAdjustedCPUTime();
      if (run.run_type == Run::RT_Iteration) {
        times.best = std::min(times.best, time);
      } else if (run.aggregate_name == "median") {
        times.median = time;
      }
    }
    ConsoleReporter::ReportRuns(reports);
  }

  void printRatio() const {
    const double parse = cpuTime("BM_ParseItems");
    const double treeDecode = cpuTime("BM_ParseAndDecodeItems");
    const double decode = cpuTime("BM_DecodeItems");
    if (!std::isfinite(parse)) return;
    std::printf("body: %zu items, %.1f MB\n", kItemCount,
                static_cast<double>(itemsBody().size()) / 1e6);
    std::printf("nlohmann parse: %.2f ms (CPU time)\n", parse);
    if (std::isfinite(decode)) {
      std::printf("decode: %.2f ms, decode/parse ratio: %.3f (target <= 0.2)\n", decode,
                  decode / parse);
    }
    const double firstDecode = cpuTime("BM_DecodeItemsFirstInThread");
    if (std::isfinite(firstDecode)) {
      std::printf("first decode in a thread (its parser's memory new): %.2f ms, ratio %.3f\n",
                  firstDecode, firstDecode / parse);
    }
    if (std::isfinite(treeDecode)) {
      std::printf("parse+decode from the tree: %.2f ms, ratio %.2f\n", treeDecode,
                  treeDecode / parse);
    }
  }

 private:
  struct Times {
    double best = std::numeric_limits<double>::infinity();
    double median = std::numeric_limits<double>::infinity();
  };

  double cpuTime(const std::string& name) const {
    const auto it = times_.find(name);
    if (it == times_.end()) return std::numeric_limits<double>::infinity();
    return std::isfinite(it->second.best) ? it->second.best : it->second.median;
  }

  std::map<std::string, Times> times_;
};

// Builds a body of about `mebibytes` MiB one item at a time (no tree of the whole), with the
// spare capacity a response body is read into, then decodes it once.
int measurePeakMemory(std::size_t mebibytes) {
  using kestro::benchmarks::statusKiB;
  const std::size_t target = mebibytes << 20;
  const long before = statusKiB("VmRSS");
  std::string body;
  body.reserve(target + (1 << 20));
  body += "{\"items\":[";
  SplitMix64 random(0x6B657374726Full);
  std::size_t count = 0;
  while (body.size() < target) {
    if (count != 0) body += ',';
    body += item(random, count++).dump();
  }
  body += "]}";
  const std::size_t bodySize = body.size();
  kestro::benchmarks::resetPeakResidentSize();
  std::size_t decoded = 0;
  {
    const std::vector<kestro::KestroItem> items = decodeItemsText(std::move(body));
    decoded = items.size();
  }
  const long peak = statusKiB("VmHWM");
  // What stays once the values are gone too: the thread's kept parser (bodies of up to 32 MiB).
  malloc_trim(0);
  const long after = statusKiB("VmRSS");
  if (before < 0 || peak < 0 || after < 0 || decoded != count) return 1;
  const double bodyKiB = static_cast<double>(bodySize) / 1024.0;
  std::printf("body: %zu items, %.1f MiB\n", count, bodyKiB / 1024.0);
  std::printf(
      "peak resident memory above the start, body included: %.1f MiB = %.2fx the body "
      "(target <= 3x)\n",
      static_cast<double>(peak - before) / 1024.0, static_cast<double>(peak - before) / bodyKiB);
  std::printf("resident once the body and its values are freed: %.1f MiB = %.2fx the body\n",
              static_cast<double>(after - before) / 1024.0,
              static_cast<double>(after - before) / bodyKiB);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  constexpr std::string_view kPeakMemory = "--peak-memory=";
  if (argc == 2 && std::string_view(argv[1]).starts_with(kPeakMemory)) {
    return measurePeakMemory(std::stoul(std::string(argv[1] + kPeakMemory.size())));
  }
  // Five rounds of each, taken in a shuffled order, unless asked otherwise: the ratio compares
  // the best of each, and a burst of load on a shared machine then falls on both sides rather
  // than on whichever benchmark happened to run during it.
  std::vector<char*> arguments(argv, argv + argc);
  const auto given = [&](std::string_view flag) {
    return std::any_of(arguments.begin(), arguments.end(), [&](const char* argument) {
      return std::string_view(argument).starts_with(flag);
    });
  };
  std::string repetitions = "--benchmark_repetitions=5";
  std::string interleaving = "--benchmark_enable_random_interleaving=true";
  if (!given("--benchmark_repetitions") && std::getenv("BENCHMARK_REPETITIONS") == nullptr) {
    arguments.push_back(repetitions.data());
  }
  if (!given("--benchmark_enable_random_interleaving") &&
      std::getenv("BENCHMARK_ENABLE_RANDOM_INTERLEAVING") == nullptr) {
    arguments.push_back(interleaving.data());
  }
  int count = static_cast<int>(arguments.size());
  arguments.push_back(nullptr);
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatio();
  benchmark::Shutdown();
  return 0;
}
