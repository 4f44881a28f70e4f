// The logger beside spdlog with an asynchronous file sink that flushes every line: the
// caller's cost of a suppressed and of an enqueued statement (Google Benchmark), and the
// lines per second the writer thread gets into the file.
//
//   tarnel_bench_logger --root DIR [--repeats N]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "logging/logger.h"

namespace tarnel::bench {
namespace {

// Both loggers get the same entry layout and the same message.
const char kSpdlogPattern[] = "%Y/%m/%d %H:%M:%S | UPDATER | %-7l | %v";
// Short runs, many of them: on a shared machine a run that lost the processor to another
// program stands out, and the median leaves it aside.
constexpr int kEnqueuedIterations = 20000;
constexpr int kCallerRepeatsPerRepeat = 3;
constexpr size_t kSpdlogQueueSlots = 1 << 15;  // more than one run enqueues: it never blocks
constexpr size_t kSpdlogDefaultSlots = 8192;
std::string g_spdlogFile;

// spdlog's asynchronous logger with its own writer thread. Dropping it (destroying the
// logger, then the pool) lets the writer drain its queue and joins it.
struct AsyncSpdlog {
  std::shared_ptr<spdlog::details::thread_pool> pool;
  std::shared_ptr<spdlog::logger> logger;

  explicit AsyncSpdlog(size_t slots) {
    pool = std::make_shared<spdlog::details::thread_pool>(slots, 1);
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(g_spdlogFile, true);
    logger = std::make_shared<spdlog::async_logger>("bench", sink, pool,
                                                    spdlog::async_overflow_policy::block);
    logger->set_pattern(kSpdlogPattern);
    logger->set_level(spdlog::level::info);
    logger->flush_on(spdlog::level::trace);
  }
  void Drain() {
    logger.reset();
    pool.reset();
  }
};

void TarnelSuppressed(benchmark::State& state) {
  int64_t i = 0;
  for (auto _ : state) {
    TARNEL_LOG(VERBOSE) << "UpdaterManager::PackageNeedsToBeInstalled: no update available " << i;
    ++i;
  }
}

void SpdlogSuppressed(benchmark::State& state) {
  AsyncSpdlog spd(kSpdlogDefaultSlots);
  int64_t i = 0;
  for (auto _ : state) {
    spd.logger->debug("UpdaterManager::PackageNeedsToBeInstalled: no update available {}", i);
    ++i;
  }
  spd.Drain();
}

void TarnelEnqueued(benchmark::State& state) {
  int64_t i = 0;
  for (auto _ : state) {
    TARNEL_LOG(INFO) << "UpdaterManager::PackageNeedsToBeInstalled: an update is available " << i;
    ++i;
  }
  GetLogger()->Flush();
}

void SpdlogEnqueued(benchmark::State& state) {
  AsyncSpdlog spd(kSpdlogQueueSlots);
  int64_t i = 0;
  for (auto _ : state) {
    spd.logger->info("UpdaterManager::PackageNeedsToBeInstalled: an update is available {}", i);
    ++i;
  }
  spd.Drain();
}

// Collects the seconds per iteration of every repetition, by benchmark name.
class Collector : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      perIteration[run.run_name.function_name].push_back(run.real_accumulated_time /
                                                         run.iterations);
    }
  }
  std::map<std::string, std::vector<double>> perIteration;
};

// Lines per second from the first statement until the last line is in the file.
double TarnelWriterRate(int lines) {
  const auto start = Clock::now();
  for (int i = 0; i < lines; ++i) {
    TARNEL_LOG(INFO) << "UpdaterManager::PackageNeedsToBeInstalled: an update is available " << i;
  }
  GetLogger()->Flush();
  return lines / SecondsSince(start);
}

// With spdlog's usual queue size: when the queue is full the caller waits for the writer,
// so the time is the writer's.
double SpdlogWriterRate(int lines) {
  AsyncSpdlog spd(kSpdlogDefaultSlots);
  const auto start = Clock::now();
  for (int i = 0; i < lines; ++i) {
    spd.logger->info("UpdaterManager::PackageNeedsToBeInstalled: an update is available {}", i);
  }
  spd.Drain();
  return lines / SecondsSince(start);
}

void PrepareEnvironment(const std::string& root) {
  PrepareServiceRoot(root);
  for (const std::string& entry : ServiceEnvironment(root)) {
    const size_t equals = entry.find('=');
    setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
  }
  std::filesystem::create_directories(root + "/spdlog");
  g_spdlogFile = root + "/spdlog/bench.log";
}

int Run(int argc, char** argv) {
  const auto options = ParseOptions(argc, argv);
  if (!options.count("root")) {
    std::fprintf(stderr, "usage: %s --root DIR [--repeats N]\n", argv[0]);
    return 2;
  }
  const std::string root = std::filesystem::absolute(options.at("root")).string();
  const int repeats = IntOption(options, "repeats", 5);
  const int writerLines = IntOption(options, "writer-lines", 200000);
  PrepareEnvironment(root);

  // The writer copies every entry to standard output, as the service does; the rows of the
  // table keep the original standard output, the copies go to /dev/null.
  FILE* rows = fdopen(dup(STDOUT_FILENO), "w");
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, STDOUT_FILENO);
  close(devNull);
  SetRowOutput(rows);

  GetLogger()->Flush();  // the start-up report is written before anything is measured
  if (GetLogger()->Threshold() != LogLevel::INFO) {
    std::fprintf(stderr, "the bench logger's threshold is not INFO\n");
    return 1;
  }

  // --filter REGEX runs only some of the caller benchmarks (for profiling).
  std::string filterFlag =
      "--benchmark_filter=" + (options.count("filter") ? options.at("filter") : std::string("."));
  char* benchmarkArgs[] = {argv[0], filterFlag.data(), nullptr};
  int benchmarkArgCount = 2;
  benchmark::Initialize(&benchmarkArgCount, benchmarkArgs);
  const int callerRepeats = repeats * kCallerRepeatsPerRepeat;
  benchmark::RegisterBenchmark("tarnel_suppressed", TarnelSuppressed)->Repetitions(callerRepeats);
  benchmark::RegisterBenchmark("spdlog_suppressed", SpdlogSuppressed)->Repetitions(callerRepeats);
  benchmark::RegisterBenchmark("tarnel_enqueued", TarnelEnqueued)
      ->Iterations(kEnqueuedIterations)
      ->Repetitions(callerRepeats);
  benchmark::RegisterBenchmark("spdlog_enqueued", SpdlogEnqueued)
      ->Iterations(kEnqueuedIterations)
      ->Repetitions(callerRepeats);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);

  std::vector<double> tarnelRates, spdlogRates;
  for (int r = 0; r < repeats; ++r) {
    tarnelRates.push_back(TarnelWriterRate(writerLines));
    spdlogRates.push_back(SpdlogWriterRate(writerLines));
  }

  auto& times = collector.perIteration;
  const Summary suppressed = Summarise(times["tarnel_suppressed"]);
  const Summary spdSuppressed = Summarise(times["spdlog_suppressed"]);
  const Summary enqueued = Summarise(times["tarnel_enqueued"]);
  const Summary spdEnqueued = Summarise(times["spdlog_enqueued"]);
  const Summary rate = Summarise(tarnelRates), spdRate = Summarise(spdlogRates);
  PrintRow({"4. suppressed statement, caller", FormatWithSpread(suppressed, 1e9, "ns", 2),
            "spdlog " + FormatWithSpread(spdSuppressed, 1e9, "ns", 2),
            FormatNumber(suppressed.median / spdSuppressed.median, 2), "< 5 ns",
            Verdict(suppressed.median < 5e-9)});
  PrintRow({"4. enqueued statement, caller", FormatWithSpread(enqueued, 1e9, "ns", 0),
            "spdlog async " + FormatWithSpread(spdEnqueued, 1e9, "ns", 0),
            FormatNumber(enqueued.median / spdEnqueued.median, 2), "<= 2.0",
            Verdict(enqueued.median <= 2 * spdEnqueued.median)});
  PrintRow({"4. writer, lines/s into the file (flushed per line)",
            FormatWithSpread(rate, 1, "lines/s", 0),
            "spdlog async file sink " + FormatWithSpread(spdRate, 1, "lines/s", 0),
            FormatNumber(rate.median / spdRate.median, 2), "-", "-"});
  std::fflush(rows);
  return 0;
}

}  // namespace
}  // namespace tarnel::bench

int main(int argc, char** argv) {
  const int result = tarnel::bench::Run(argc, argv);
  tarnel::DeleteLogger();
  return result;
}
