// Macro SQL throughput: a realistic 1 KB template with ten directives and
// five macros, and 1 MB of text without markers measured against a plain
// memcpy of the same bytes in the same run. After the benchmarks it prints
//   ratio macrosql.plain_text_vs_memcpy = VALUE
// (time of parse and build over time of the copy; lower is better).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "qvl/host/dataset/Params.h"
#include "qvl/host/runtime/Strings.h"
#include "qvl/macrosql/QVLMacroSQL.h"
#include "qvl/sql/QVLSQLProcessor.h"

namespace {

using qvl::TParams;
using qvl::TQVLSQLProcessor;
using qvl::TStringList;

constexpr std::size_t kPlainSize = std::size_t{1} << 20;

std::string Template() {
  std::string text =
      "-- Order report: the filter, the status and the paging come from the caller.\r\n"
      "select %COLUMNS\r\n"
      "  from %TABLE o\r\n"
      "  join customers c on c.id = o.customer_id\r\n"
      "  left join regions r on r.id = c.region_id\r\n"
      " where o.deleted = 0\r\n"
      "#if (FILTER)\r\n"
      "   and (%FILTER)\r\n"
      "#elseif (MODE = open)\r\n"
      "   and o.status = :STATUS\r\n"
      "   and o.created >= :SINCE\r\n"
      "#else\r\n"
      "   and o.status in ('new', 'paid', 'shipped')\r\n"
      "#endif\r\n"
      "#if (REGION and not ALLREGIONS)\r\n"
      "   and r.code = :REGION\r\n"
      "#else\r\n"
      "   /* every region: no condition on r.code */\r\n"
      "#endif\r\n"
      "#if (LEGACY)\r\n"
      "#error The legacy layout is no longer supported\r\n"
      "#endif\r\n"
      " order by %ORDER\r\n"
      " limit %LIMIT\r\n";
  // Pad with plain SQL commentary to 1 KB, the size of a typical statement.
  while (text.size() < 1024) text += "-- padding line that carries no markers at all\r\n";
  return text;
}

TStringList TemplateMacros() {
  return TStringList{"COLUMNS=o.id, o.number, o.total, c.name, r.code",
                     "TABLE=orders",
                     "FILTER=o.total > :MINTOTAL and c.vip = 1",
                     "ORDER=o.created desc, o.id",
                     "LIMIT=100",
                     "REGION=EU"};
}

std::string PlainText() {
  const std::string line =
      "select a.id, a.name, b.total from accounts a join balances b on b.id = a.id\r\n";
  std::string text;
  text.reserve(kPlainSize + line.size());
  while (text.size() < kPlainSize) text += line;
  text.resize(kPlainSize);
  return text;
}

void MacroSQLTemplate(benchmark::State& State) {
  TQVLSQLProcessor processor(nullptr);
  const TStringList macros = TemplateMacros();
  const std::string text = Template();
  for (auto _ : State) {
    auto tree = processor.Parse(text);
    TParams params;
    std::string sql = processor.Build(*tree, &macros, &params);
    benchmark::DoNotOptimize(sql.data());
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

void MacroSQLPlainText(benchmark::State& State) {
  TQVLSQLProcessor processor(nullptr);
  const std::string text = PlainText();
  for (auto _ : State) {
    auto tree = processor.Parse(text);
    std::string sql = processor.Build(*tree, nullptr, nullptr);
    benchmark::DoNotOptimize(sql.data());
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

void PlainTextMemcpy(benchmark::State& State) {
  const std::string text = PlainText();
  std::vector<char> copy(text.size());
  for (auto _ : State) {
    std::memcpy(copy.data(), text.data(), text.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

BENCHMARK(MacroSQLTemplate);
BENCHMARK(MacroSQLPlainText)->MinTime(1.0);
BENCHMARK(PlainTextMemcpy)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // Each iteration allocates and frees two 1 MB strings (the text element and
  // the result). By default glibc hands such blocks back to the kernel every
  // time, so the figure would mostly count page faults of fresh memory; a
  // long-running process keeps its heap, and so does this one.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  qvl::bench::TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.PrintRatio("macrosql.plain_text_vs_memcpy", "MacroSQLPlainText", "PlainTextMemcpy", 2);
  return 0;
}
