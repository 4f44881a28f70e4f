// Shared pieces of the benchmark programs: repeated measurements and their summary, the
// table rows that scripts/bench collects, child processes and what /proc says about them,
// and a minimal frame client that talks to any server on a Unix stream socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tarnel::bench {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start);

// The summary of repeated measurements of one figure.
struct Summary {
  double median = 0;
  double min = 0;
  double max = 0;
  // Half the range of the repeats relative to the median, in percent.
  double SpreadPercent() const;
};
Summary Summarise(std::vector<double> samples);
double Percentile(std::vector<double> samples, double fraction);

// One line of the table. The program prints it tab-separated, prefixed with "ROW", and
// scripts/bench lays the rows out.
struct Row {
  std::string figure;
  std::string value;     // median and spread
  std::string baseline;  // what the figure is compared with, and its median and spread
  std::string ratio;     // figure / baseline
  std::string target;
  std::string verdict;  // "met", "NOT met" or "-"
};
void PrintRow(const Row& row);
// Where rows go (standard output unless set).
void SetRowOutput(FILE* output);

// "12.3 us ±4%" style texts.
std::string FormatWithSpread(const Summary& summary, double scale, const std::string& unit,
                             int decimals);
std::string FormatNumber(double value, int decimals);
std::string Verdict(bool met);

// Settings common to the programs: --name value pairs.
std::map<std::string, std::string> ParseOptions(int argc, char** argv);
int IntOption(const std::map<std::string, std::string>& options, const std::string& name,
              int fallback);

// Child processes. stdout and stderr of the child go to /dev/null unless `output` is given.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv);
// Waits for the child to exit, up to `timeout_s`; kills it (SIGKILL) when it does not.
bool WaitForExit(pid_t pid, double timeout_s);
// Runs a program to its end and gives its standard output; false when it failed.
bool RunCapture(const std::vector<std::string>& argv, std::string* output);

// From /proc: resident memory in KiB, number of threads, user + system CPU clock ticks.
long ResidentKiB(pid_t pid);
long ThreadCount(pid_t pid);
long CpuTicks(pid_t pid);
// The time all threads of the process have spent on a processor so far (schedstat), in
// seconds: unlike the wall time, it does not grow while the machine is busy with others.
double OnCpuSeconds(pid_t pid);

// Minimal client of the frame format (32-bit little-endian length, text, NUL).
std::string EncodeFrame(const std::string& text);
class FrameClient {
 public:
  FrameClient() = default;
  ~FrameClient();
  FrameClient(const FrameClient&) = delete;
  FrameClient& operator=(const FrameClient&) = delete;

  bool Connect(const std::string& socketPath);
  void Close();
  bool Send(const std::string& frame);
  // Reads one whole frame (length and payload) into *payload.
  bool Receive(std::string* payload);
  // Send then Receive.
  bool RoundTrip(const std::string& frame, std::string* payload);

 private:
  bool ReadExactly(char* buffer, size_t size);
  int fd = -1;
};

// Tries to connect every `interval_us` until `timeout_s`; true once a connect succeeded.
bool WaitUntilAccepting(const std::string& socketPath, double timeout_s, int interval_us);

// The environment that gives a service process its own folders under `root`.
std::vector<std::string> ServiceEnvironment(const std::string& root);
// Creates those folders and a settings file with the service's default threshold "info",
// so that the received commands (SENSITIVE) are not logged, as in a default installation.
void PrepareServiceRoot(const std::string& root);

}  // namespace tarnel::bench
