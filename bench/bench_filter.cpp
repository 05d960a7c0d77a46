// Equality filters as change detection uses them: one filter per record of another
// recordset. Compares the indexed path (`tSID = '...'`) with a full scan of the same
// selection (`tSID LIKE '...'` without wildcards, which no index serves) and prints
// the ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "ado/Recordset.h"

namespace {

constexpr int kRecords = 20000;
constexpr int kLookups = 200;

void Fill(ado::Recordset& rs) {
  rs.Fields().Append("tSID", ado::adVarWChar, 40);
  rs.Fields().Append("nValue", ado::adInteger);
  rs.Open();
  for (int i = 0; i < kRecords; ++i) {
    rs.AddNew();
    rs.Fields().Item(size_t{0}).SetValue(ado::Variant("SID-" + std::to_string(i)));
    rs.Fields().Item(size_t{1}).SetValue(ado::Variant(int32_t{i}));
  }
  rs.UpdateBatch();
}

void FilterEach(benchmark::State& state, const char* op) {
  ado::Recordset rs;
  Fill(rs);
  int64_t found = 0;
  for (auto _ : state) {
    for (int k = 0; k < kLookups; ++k) {
      const int i = (k * 7919) % kRecords;
      rs.SetFilter(std::string("tSID ") + op + " 'sid-" + std::to_string(i) + "'");
      found += rs.RecordCount();
    }
  }
  if (found != static_cast<int64_t>(state.iterations()) * kLookups) {
    state.SkipWithError("a lookup did not find its record");
  }
  state.counters["lookups/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kLookups, benchmark::Counter::kIsRate);
}

void BM_FilterIndexed(benchmark::State& state) { FilterEach(state, "="); }
void BM_FilterScan(benchmark::State& state) { FilterEach(state, "LIKE"); }

BENCHMARK(BM_FilterIndexed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilterScan)->Unit(benchmark::kMillisecond);

// Console output plus the time per iteration of each run, for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.iterations > 0) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::map<std::string, double>& times() const { return times_; }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto& times = reporter.times();
  auto indexed = times.find("BM_FilterIndexed");
  auto scan = times.find("BM_FilterScan");
  if (indexed != times.end() && scan != times.end() && indexed->second > 0) {
    std::printf("filter of %d records, %d lookups: scan / indexed = %.1fx\n", kRecords, kLookups,
                scan->second / indexed->second);
  }
  benchmark::Shutdown();
  return 0;
}
