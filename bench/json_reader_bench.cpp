// Throughput of the JSON reader in MB/s over generated multi-megabyte
// documents. The reader rewrites strings in place, so every iteration reads a
// fresh copy of the document; the copy is made outside the timed region.
//
//   cmake --preset default -DVAREK_BUILD_BENCH=ON && cmake --build --preset default
//   build/default/bench/json_reader_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "json_reader/json_reader.hpp"

namespace {

constexpr size_t TARGET_SIZE = 8u << 20;  // about 8 MiB per document

// Small deterministic generator, so that every run reads the same bytes.
struct lcg {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
};

std::string path_like(lcg& rng, bool escapes) {
  static const char* const parts[] = {"opt", "vrk",     "php", "8.2", "bin",
                                      "etc", "php-cgi", "var", "www", "vhosts"};
  std::string s;
  const int n = 3 + rng.next() % 5;
  for (int i = 0; i < n; ++i) {
    s += escapes && rng.next() % 4 == 0 ? "\\/" : "/";
    s += parts[rng.next() % 10];
  }
  if (escapes && rng.next() % 3 == 0) s += " \\\"quoted\\\"\\t";
  return s;
}

// `open`, then what `item` gives, separated by `separator`, until the
// document reaches TARGET_SIZE, then `close`.
template <typename Item>
std::string document(const char* open, const char* separator, Item item, const char* close) {
  std::string doc = open;
  for (bool first = true; doc.size() < TARGET_SIZE; first = false) {
    if (!first) doc += separator;
    doc += item();
  }
  return doc + close;
}

// A registry-like document: an array of handler objects with strings, integers,
// reals, literals and a nested array.
std::string mixed_document() {
  lcg rng;
  return document(
      "{\"default\": \"php82\", \"handlers\": [\n", ",\n",
      [&rng] {
        std::string h = "  {\"id\": \"php" + std::to_string(rng.next() % 100) + "\", ";
        h += "\"displayname\": \"PHP " + std::to_string(rng.next() % 9) + "." +
             std::to_string(rng.next() % 9) + "\", ";
        h += "\"path\": \"" + path_like(rng, true) + "\", ";
        h += "\"phpini\": \"" + path_like(rng, false) + "\", ";
        h += "\"version\": " + std::to_string(rng.next()) + ", ";
        h += "\"load\": -" + std::to_string(rng.next() % 1000) + "." +
             std::to_string(rng.next() % 1000) + "e-3, ";
        h += "\"enabled\": " + std::string(rng.next() % 2 ? "true" : "false") + ", ";
        h += "\"custom\": null, ";
        h += "\"ports\": [" + std::to_string(rng.next() % 65536) + ", " +
             std::to_string(rng.next() % 65536) + ", []]}";
        return h;
      },
      "\n]}\n");
}

// An array of strings only; with `escapes`, most strings hold escapes, so the
// reader has to move bytes.
std::string string_document(bool escapes) {
  lcg rng;
  return document(
      "[", ", ", [&] { return "\"" + path_like(rng, escapes) + "\""; }, "]");
}

// Runs `body` over a fresh copy of `doc` per iteration and reports bytes/s.
template <typename Body>
void run(benchmark::State& state, const std::string& doc, Body body) {
  std::vector<char> work(doc.size() + 1);
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(work.data(), doc.c_str(), doc.size() + 1);
    json_reader* r = json_reader_create(work.data(), nullptr);
    state.ResumeTiming();
    body(state, r);
    if (r->error_code != JSON_OK) state.SkipWithError("reader failed");
    state.PauseTiming();
    json_reader_destroy(r);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(doc.size()));
  state.counters["doc_MiB"] = static_cast<double>(doc.size()) / (1 << 20);
}

void skip_value(benchmark::State&, json_reader* r) {
  json_skip_value(r);
  benchmark::DoNotOptimize(r->cursor);
}

void read_strings(benchmark::State&, json_reader* r) {
  size_t total = 0;
  if (json_begin_array(r) != 0) return;
  if (json_end_array(r) == 1) return;
  do {
    const char* s = json_read_string(r);
    if (s == nullptr) return;
    total += static_cast<unsigned char>(s[0]);
  } while (json_next_element(r) == 0);
  benchmark::DoNotOptimize(total);
}

void BM_SkipValue_Mixed(benchmark::State& state) {
  static const std::string doc = mixed_document();
  run(state, doc, skip_value);
}

void BM_SkipValue_Strings(benchmark::State& state) {
  static const std::string doc = string_document(false);
  run(state, doc, skip_value);
}

void BM_ReadString_Plain(benchmark::State& state) {
  static const std::string doc = string_document(false);
  run(state, doc, read_strings);
}

void BM_ReadString_Escaped(benchmark::State& state) {
  static const std::string doc = string_document(true);
  run(state, doc, read_strings);
}

BENCHMARK(BM_SkipValue_Mixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkipValue_Strings)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadString_Plain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadString_Escaped)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
