// The decoder alone: tds_walk_tokens with read_value rendering every value
// of large in-memory answers as text, against a plain copy of the same
// bytes. The answers are built by tds_frames (the same bytes the replay
// peer serves); with --listing=FILE the simulated server's own listing
// answer (captured by ops_floor) is measured too.
//
//   decode_bench [--mixed-rows=N] [--text-rows=N] [--listing=FILE] [--tsv=FILE]
//                [--only=mixed|text|listing_sim] [Google Benchmark flags]
//
// --only builds and measures one answer alone (for profiling the walk
// without the building of the others in the samples).
// --tsv writes one line per benchmark (its median when repeated): name,
// nanoseconds per pass, bytes per second, rows per second, bytes, rows.
// float/* time the rendering of 100 000 float values alone (rows: values).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tds_client/float_text.h"
#include "tds_client/tds_client.h"
#include "requests.h"
#include "tds_frames.h"

namespace {

using bench::bytes;

struct input {
  std::string name;
  bytes payload;
  uint64_t rows;
};

// Everything a walk writes into; static because a row is 256 KiB.
tds_meta g_meta;
tds_row g_scratch;

int walk(const bytes& payload, char* err) {
  tds_walk w{};
  w.meta = &g_meta;
  w.rows = nullptr;
  w.cap = 0;
  w.scratch = &g_scratch;
  w.err = err;
  return tds_walk_tokens(payload.data(), payload.size(), &w);
}

void bm_walk(benchmark::State& state, const input* in) {
  char err[TDS_ERR_SIZE];
  for (auto _ : state) {
    int r = walk(in->payload, err);
    benchmark::DoNotOptimize(r);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in->payload.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * in->rows));
}

void bm_copy(benchmark::State& state, const input* in) {
  bytes dst(in->payload.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), in->payload.data(), in->payload.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in->payload.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * in->rows));
}

// Float rendering alone, on values like the mixed answer's: the general
// formatter against the library's float_g_text, which read_value uses.
std::vector<double> float_values() {
  std::vector<double> v;
  uint64_t s = 0x2545F4914F6CDD1Dull;
  for (int i = 0; i < 100000; ++i) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    v.push_back(static_cast<double>(s % 1000000) / 997.0);
  }
  return v;
}

void bm_float_snprintf(benchmark::State& state, const std::vector<double>* v) {
  char cell[TDS_CELL_SIZE];
  for (auto _ : state) {
    for (double d : *v) {
      std::snprintf(cell, sizeof cell, "%g", d);
      benchmark::DoNotOptimize(cell);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * v->size()));
}

void bm_float_library(benchmark::State& state, const std::vector<double>* v) {
  char cell[TDS_CELL_SIZE];
  for (auto _ : state) {
    for (double d : *v) {
      float_g_text(d, cell, sizeof cell);
      benchmark::DoNotOptimize(cell);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * v->size()));
}

// Console output as usual, plus the figures kept for the TSV file.
class keeping_reporter : public benchmark::ConsoleReporter {
 public:
  struct line {
    std::string name;
    double ms, bytes_per_s, rows_per_s;
  };
  std::vector<line> lines;

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
      auto get = [&](const char* k) {
        auto it = r.counters.find(k);
        return it == r.counters.end() ? 0.0 : static_cast<double>(it->second);
      };
      line l{r.run_name.function_name, r.GetAdjustedRealTime(), get("bytes_per_second"),
             get("items_per_second")};
      // A repeated benchmark reports each repetition, then the median.
      bool replaced = false;
      for (line& old : lines)
        if (old.name == l.name) old = l, replaced = true;
      if (!replaced) lines.push_back(l);
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

bytes read_file(const char* path) {
  bytes out;
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mixed_rows = 100000, text_rows = 20000;
  const char* listing = nullptr;
  const char* tsv = nullptr;
  std::string only;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--mixed-rows=", 0) == 0) mixed_rows = std::strtoull(argv[i] + 13, nullptr, 10);
    else if (a.rfind("--text-rows=", 0) == 0) text_rows = std::strtoull(argv[i] + 12, nullptr, 10);
    else if (a.rfind("--listing=", 0) == 0) listing = argv[i] + 10;
    else if (a.rfind("--tsv=", 0) == 0) tsv = argv[i] + 6;
    else if (a.rfind("--only=", 0) == 0) only = argv[i] + 7;
    else rest.push_back(argv[i]);
  }
  int rest_argc = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_argc, rest.data());
  if (benchmark::ReportUnrecognizedArguments(rest_argc, rest.data())) return 1;

  auto wanted = [&](const char* name) { return only.empty() || only == name; };
  std::vector<std::unique_ptr<input>> inputs;
  if (wanted("mixed"))
    inputs.push_back(std::make_unique<input>(
        input{"mixed", bench::build_response(bench::shape::mixed, mixed_rows), mixed_rows}));
  if (wanted("text"))
    inputs.push_back(std::make_unique<input>(
        input{"text", bench::build_response(bench::shape::text, text_rows), text_rows}));
  if (listing != nullptr && wanted("listing_sim")) {
    bytes p = bench::unpacketise(read_file(listing));
    if (p.empty()) {
      std::fprintf(stderr, "decode_bench: cannot read %s\n", listing);
      return 1;
    }
    const uint64_t rows = bench::final_done_rows(p.data(), p.size());
    inputs.push_back(std::make_unique<input>(input{"listing_sim", std::move(p), rows}));
  }

  for (const auto& in : inputs) {
    char err[TDS_ERR_SIZE] = "";
    if (walk(in->payload, err) != 0 || err[0] != 0) {
      std::fprintf(stderr, "decode_bench: %s does not decode: %s\n", in->name.c_str(), err);
      return 1;
    }
    std::fprintf(stderr, "%s: %zu bytes, %llu rows\n", in->name.c_str(), in->payload.size(),
                 static_cast<unsigned long long>(in->rows));
    benchmark::RegisterBenchmark(("walk/" + in->name).c_str(), bm_walk, in.get())
        ->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark(("copy/" + in->name).c_str(), bm_copy, in.get())
        ->Unit(benchmark::kMillisecond)->UseRealTime();
  }

  static const std::vector<double> floats = float_values();
  if (only.empty()) {
    benchmark::RegisterBenchmark("float/snprintf", bm_float_snprintf, &floats)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("float/library", bm_float_library, &floats)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
  }

  keeping_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  if (tsv != nullptr) {
    FILE* f = std::fopen(tsv, "w");
    if (f == nullptr) return 1;
    for (const auto& l : reporter.lines) {
      const input* in = nullptr;
      for (const auto& i : inputs)
        if (l.name.find("/" + i->name) != std::string::npos) in = i.get();
      const bool flt = l.name.rfind("float/", 0) == 0;
      std::fprintf(f, "%s\t%.0f\t%.0f\t%.0f\t%zu\t%llu\n", l.name.c_str(), l.ms * 1e6,
                   l.bytes_per_s, l.rows_per_s, in ? in->payload.size() : 0,
                   static_cast<unsigned long long>(flt ? floats.size() : in ? in->rows : 0));
    }
    std::fclose(f);
  }
  return 0;
}
