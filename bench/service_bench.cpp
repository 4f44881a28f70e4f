// The service process against the transport's limit: round trips and throughput of
// "is_update_needed" beside a bare frame echo server on the same kind of socket, the
// service at rest (start-up time, memory, threads, idle CPU) beside the echo server's, and
// another client's round trip while one caller attacks the channel beside it at rest.
//
//   tarnel_bench_service --service PATH --root DIR [--repeats N]
//   tarnel_bench_service echo-server SOCKET_PATH   (the baseline server, started by the above)
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace tarnel::bench {
namespace {

const char kPipeName[] = "Tarnel_Updater_Service_CP";
const char kEchoName[] = "echo.sock";
const char kQuestion[] = R"({"type":"is_update_needed","current_version":"1.2.3"})";
const char kReplyStart[] = R"({"update_needed":)";

// ---------------------------------------------------------------------------------------
// The baseline server: a thread per connection that reads a frame and writes it back, with
// the same calls the service makes (length, then payload, then one write).

bool ReadAll(int fd, char* buffer, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t count = recv(fd, buffer + done, size - done, 0);
    if (count <= 0) return false;
    done += static_cast<size_t>(count);
  }
  return true;
}

void EchoConnection(int fd) {
  std::vector<char> frame;
  for (;;) {
    unsigned char length[4];
    if (!ReadAll(fd, reinterpret_cast<char*>(length), 4)) break;
    const uint32_t size =
        length[0] | length[1] << 8 | length[2] << 16 | static_cast<uint32_t>(length[3]) << 24;
    if (size == 0 || size > (1u << 20)) break;
    frame.resize(4 + size);
    std::memcpy(frame.data(), length, 4);
    if (!ReadAll(fd, frame.data() + 4, size)) break;
    if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
      break;
    }
  }
  close(fd);
}

int RunEchoServer(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0) {
    return 1;
  }
  for (;;) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) std::thread(EchoConnection, fd).detach();
  }
}

// ---------------------------------------------------------------------------------------
// Servers under test

struct Server {
  std::string label;
  std::string socketPath;
  std::vector<std::string> argv;
  std::vector<std::string> env;
  bool isService = false;
  pid_t pid = -1;

  double onCpuAtReady = 0;  // of the last Start

  // Starts the process; gives the seconds from the spawn to the first accepted connect.
  double Start() {
    std::filesystem::remove(socketPath);
    const auto start = Clock::now();
    pid = Spawn(argv, env);
    if (pid < 0 || !WaitUntilAccepting(socketPath, 10.0, 100)) {
      std::fprintf(stderr, "%s did not start accepting connections\n", label.c_str());
      std::exit(1);
    }
    const double seconds = SecondsSince(start);
    onCpuAtReady = OnCpuSeconds(pid);
    return seconds;
  }

  void Stop() {
    if (pid < 0) return;
    if (isService) {
      FrameClient client;
      if (client.Connect(socketPath)) client.Send(EncodeFrame(R"({"type":"stop_service"})"));
      if (!WaitForExit(pid, 10.0)) std::fprintf(stderr, "%s did not stop\n", label.c_str());
    } else {
      kill(pid, SIGTERM);
      WaitForExit(pid, 10.0);
    }
    pid = -1;
  }
};

bool IsAnswer(const Server& server, const std::string& payload) {
  if (!server.isService) return payload == std::string(kQuestion) + '\0';
  return payload.compare(0, std::strlen(kReplyStart), kReplyStart) == 0;
}

// ---------------------------------------------------------------------------------------
// Figure 1: latency of one round trip on an open connection.

struct Latencies {
  std::vector<double> p50, p99;
};

void MeasureRoundTrips(const Server& server, FrameClient& client, int count, Latencies* out) {
  const std::string frame = EncodeFrame(kQuestion);
  std::vector<double> samples;
  samples.reserve(count);
  std::string payload;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    if (!client.RoundTrip(frame, &payload) || !IsAnswer(server, payload)) {
      std::fprintf(stderr, "%s: round trip failed\n", server.label.c_str());
      std::exit(1);
    }
    samples.push_back(SecondsSince(start));
  }
  out->p50.push_back(Percentile(samples, 0.50));
  out->p99.push_back(Percentile(samples, 0.99));
}

void RoundTripFigures(Server& service, Server& echo, int repeats, int count) {
  FrameClient toService, toEcho;
  if (!toService.Connect(service.socketPath) || !toEcho.Connect(echo.socketPath)) std::exit(1);
  Latencies serviceLatency, echoLatency, ignored;
  MeasureRoundTrips(service, toService, count / 10, &ignored);  // warm-up
  MeasureRoundTrips(echo, toEcho, count / 10, &ignored);
  for (int r = 0; r < repeats; ++r) {
    MeasureRoundTrips(service, toService, count, &serviceLatency);
    MeasureRoundTrips(echo, toEcho, count, &echoLatency);
  }
  const Summary p50 = Summarise(serviceLatency.p50), echoP50 = Summarise(echoLatency.p50);
  const Summary p99 = Summarise(serviceLatency.p99), echoP99 = Summarise(echoLatency.p99);
  PrintRow({"1. is_update_needed round trip, p50", FormatWithSpread(p50, 1e6, "us", 1),
            "echo p50 " + FormatWithSpread(echoP50, 1e6, "us", 1),
            FormatNumber(p50.median / echoP50.median, 2), "<= 1.5",
            Verdict(p50.median <= 1.5 * echoP50.median)});
  PrintRow({"1. is_update_needed round trip, p99", FormatWithSpread(p99, 1e6, "us", 1),
            "echo p99 " + FormatWithSpread(echoP99, 1e6, "us", 1),
            FormatNumber(p99.median / echoP99.median, 2), "-", "-"});
}

// ---------------------------------------------------------------------------------------
// Figure 2: throughput of concurrent clients, each on its own open connection.

struct Throughput {
  double perSecond = 0;
  long errors = 0;
};

Throughput MeasureThroughput(const Server& server, int clients, double seconds) {
  std::vector<std::unique_ptr<FrameClient>> connections;
  long errors = 0;
  for (int i = 0; i < clients; ++i) {
    connections.push_back(std::make_unique<FrameClient>());
    if (!connections.back()->Connect(server.socketPath)) ++errors;
  }
  std::atomic<bool> go{false}, stop{false};
  std::atomic<long> done{0}, failed{errors};
  std::vector<std::thread> threads;
  const std::string frame = EncodeFrame(kQuestion);
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      std::string payload;
      long mine = 0;
      while (!go) std::this_thread::yield();
      while (!stop) {
        if (!connections[i]->RoundTrip(frame, &payload) || !IsAnswer(server, payload)) {
          ++failed;
          break;
        }
        ++mine;
      }
      done += mine;
    });
  }
  const auto start = Clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& thread : threads) thread.join();
  const double elapsed = SecondsSince(start);
  return {done / elapsed, failed.load()};
}

void ThroughputFigures(Server& service, Server& echo, int repeats, double seconds) {
  const int counts[] = {1, 8, 64};
  std::map<int, std::vector<double>> rates;
  std::map<int, long> errors;
  std::vector<double> echoRates;
  MeasureThroughput(service, 8, seconds / 4);  // warm-up
  for (int r = 0; r < repeats; ++r) {
    for (int clients : counts) {
      const Throughput result = MeasureThroughput(service, clients, seconds);
      rates[clients].push_back(result.perSecond);
      errors[clients] += result.errors;
    }
    echoRates.push_back(MeasureThroughput(echo, 1, seconds).perSecond);
  }
  const Summary single = Summarise(rates[1]);
  const Summary echoSingle = Summarise(echoRates);
  PrintRow({"2. throughput, 1 client",
            FormatWithSpread(single, 1, "cmd/s", 0) + ", " + std::to_string(errors[1]) + " errors",
            "echo, 1 client " + FormatWithSpread(echoSingle, 1, "msg/s", 0),
            FormatNumber(single.median / echoSingle.median, 2), "-", "-"});
  for (int clients : {8, 64}) {
    const Summary many = Summarise(rates[clients]);
    const bool required = clients == 64;
    const bool met = many.median >= 0.8 * single.median && errors[clients] == 0;
    PrintRow(
        {"2. throughput, " + std::to_string(clients) + " clients",
         FormatWithSpread(many, 1, "cmd/s", 0) + ", " + std::to_string(errors[clients]) + " errors",
         "1 client " + FormatWithSpread(single, 1, "cmd/s", 0),
         FormatNumber(many.median / single.median, 2), required ? ">= 0.8, no errors" : "-",
         required ? Verdict(met) : "-"});
  }
}

// ---------------------------------------------------------------------------------------
// Figure 5: the service at rest.

void ServeCommands(const Server& server, int connections, int perConnection) {
  const std::string frame = EncodeFrame(kQuestion);
  std::string payload;
  for (int c = 0; c < connections; ++c) {
    FrameClient client;
    if (!client.Connect(server.socketPath)) std::exit(1);
    for (int i = 0; i < perConnection; ++i) {
      if (!client.RoundTrip(frame, &payload) || !IsAnswer(server, payload)) std::exit(1);
    }
  }
}

void AtRestFigures(Server& service, Server& echo, int repeats, int idleSeconds) {
  std::vector<double> ready, echoReady, onCpu, echoOnCpu;
  for (int r = 0; r < repeats; ++r) {
    ready.push_back(service.Start());
    onCpu.push_back(service.onCpuAtReady);
    service.Stop();
    echoReady.push_back(echo.Start());
    echoOnCpu.push_back(echo.onCpuAtReady);
    echo.Stop();
  }
  const Summary readySummary = Summarise(ready), echoReadySummary = Summarise(echoReady);
  const auto onCpuText = [](const std::vector<double>& samples) {
    return " (on CPU " + FormatNumber(Summarise(samples).median * 1e3, 2) + " ms)";
  };
  PrintRow(
      {"5. exec to socket accepting",
       FormatWithSpread(readySummary, 1e3, "ms", 2) + onCpuText(onCpu),
       "echo server " + FormatWithSpread(echoReadySummary, 1e3, "ms", 2) + onCpuText(echoOnCpu),
       FormatNumber(readySummary.median / echoReadySummary.median, 2), "< 30 ms",
       Verdict(readySummary.median < 0.030)});

  service.Start();
  echo.Start();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long rssStart = ResidentKiB(service.pid), echoRss = ResidentKiB(echo.pid);
  const long threads = ThreadCount(service.pid), echoThreads = ThreadCount(echo.pid);
  const long ticksBefore = CpuTicks(service.pid), echoTicksBefore = CpuTicks(echo.pid);
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const long idleTicks = CpuTicks(service.pid) - ticksBefore;
  const long echoIdleTicks = CpuTicks(echo.pid) - echoTicksBefore;
  ServeCommands(service, 100, 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long rssAfter = ResidentKiB(service.pid);
  const long threadsAfter = ThreadCount(service.pid);
  service.Stop();
  echo.Stop();

  const double kib = 1.0 / 1024;
  PrintRow({"5. resident memory after start", FormatNumber(rssStart * kib, 2) + " MiB",
            "echo server " + FormatNumber(echoRss * kib, 2) + " MiB",
            FormatNumber(static_cast<double>(rssStart) / echoRss, 2), "< 8 MiB",
            Verdict(rssStart < 8 * 1024)});
  PrintRow({"5. resident memory after 10,000 commands", FormatNumber(rssAfter * kib, 2) + " MiB",
            "after start " + FormatNumber(rssStart * kib, 2) + " MiB",
            FormatNumber(static_cast<double>(rssAfter) / rssStart, 2), "<= 1.10",
            Verdict(rssAfter <= 1.10 * rssStart)});
  PrintRow({"5. threads at rest (after the commands)",
            std::to_string(threads) + " (" + std::to_string(threadsAfter) + ")",
            "echo server " + std::to_string(echoThreads), "-", "-", "-"});
  PrintRow({"5. CPU ticks over " + std::to_string(idleSeconds) + " idle seconds",
            std::to_string(idleTicks), "echo server " + std::to_string(echoIdleTicks), "-", "0",
            Verdict(idleTicks == 0)});
}

// ---------------------------------------------------------------------------------------
// Figure 6: another client's round trip while one caller attacks the channel.

// One connection of the attacking caller: sends `frame` over and over from a thread of its
// own and reads nothing, until destroyed. The smallest send buffer the kernel allows keeps
// what is still queued for the service at the end short (a few frames), so that it is
// worked off quickly; the service still always has the connection's next frame waiting.
class Attacker {
 public:
  Attacker(const std::string& socketPath, const std::string& frame) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int sendBuffer = 1;  // raised to the kernel's minimum
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      std::fprintf(stderr, "attacker: cannot connect\n");
      std::exit(1);
    }
    thread = std::thread([this, frame] { SendUntilStopped(frame); });
  }
  ~Attacker() {
    stop = true;
    thread.join();
    close(fd);
  }
  Attacker(const Attacker&) = delete;
  Attacker& operator=(const Attacker&) = delete;

 private:
  // Non-blocking sends, so that the thread sees `stop` also while the service reads nothing.
  void SendUntilStopped(const std::string& frame) {
    size_t offset = 0;
    while (!stop) {
      const ssize_t count =
          send(fd, frame.data() + offset, frame.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (count > 0) {
        offset = (offset + static_cast<size_t>(count)) % frame.size();
      } else if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd entry{fd, POLLOUT, 0};
        poll(&entry, 1, 20);
      } else {
        return;  // the service ended the connection
      }
    }
  }

  int fd = -1;
  std::atomic<bool> stop{false};
  std::thread thread;
};

// The attacking connections as a caller of their own: a child process that drops to nobody
// with the group the service admits, so that the service tells it from the probe (root).
// The service takes its connections' commands in turns with the probe's, the point of the
// figure. Ends (and with it every connection) when destroyed.
class AttackingCaller {
 public:
  static constexpr uid_t kNobody = 65534;

  AttackingCaller(const std::string& socketPath, const std::string& frame, int connections,
                  gid_t group) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) std::exit(1);
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      const gid_t groups[] = {group};
      if (setgroups(1, groups) != 0 || setgid(group) != 0 || setuid(kNobody) != 0) _exit(1);
      std::vector<std::unique_ptr<Attacker>> attackers;
      for (int c = 0; c < connections; ++c) {
        attackers.push_back(std::make_unique<Attacker>(socketPath, frame));
      }
      const char byte = 1;
      (void)!write(ready[1], &byte, 1);
      for (;;) pause();  // until killed
    }
    close(ready[1]);
    char byte;
    const bool started = pid > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (!started) {
      std::fprintf(stderr, "attacking caller: could not start as uid %d\n", kNobody);
      std::exit(1);
    }
  }
  ~AttackingCaller() {
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
  }
  AttackingCaller(const AttackingCaller&) = delete;
  AttackingCaller& operator=(const AttackingCaller&) = delete;

 private:
  pid_t pid = -1;
};

// A caller that has the service install a large file over and over, on connections of its
// own, until destroyed: registration and install on one connection, which the service
// closes when the attempt ends (the digest registered does not match, so nothing starts).
class InstallingCaller {
 public:
  InstallingCaller(const std::string& socketPath, const std::string& installer)
      : thread([this, socketPath, installer] { InstallUntilStopped(socketPath, installer); }) {}
  ~InstallingCaller() {
    stop = true;
    thread.join();
  }
  InstallingCaller(const InstallingCaller&) = delete;
  InstallingCaller& operator=(const InstallingCaller&) = delete;

 private:
  void InstallUntilStopped(const std::string& socketPath, const std::string& installer) {
    const std::string frames =
        EncodeFrame(std::string(R"({"type":"new_install_package","package_full_path":")") +
                    installer + R"(","package_target_version":"9.0","package_sha256":")" +
                    std::string(64, 'a') + R"("})") +
        EncodeFrame(R"({"type":"start_update_install","user":"","display":""})");
    while (!stop) {
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
          send(fd, frames.data(), frames.size(), MSG_NOSIGNAL) !=
              static_cast<ssize_t>(frames.size())) {
        std::fprintf(stderr, "installing caller: cannot send\n");
        std::exit(1);
      }
      // Until the service ends the connection (the attempt is over) or the figure is done.
      char byte;
      for (;;) {
        pollfd entry{fd, POLLIN, 0};
        if (stop || (poll(&entry, 1, 50) > 0 && recv(fd, &byte, 1, 0) <= 0)) break;
      }
      close(fd);
    }
  }

  std::atomic<bool> stop{false};
  std::thread thread;
};

// The group the service admits without a login session, made for the run when it is
// missing (and removed again); needs root. -1 when there is none.
class AdmittedGroup {
 public:
  AdmittedGroup() {
    if (geteuid() != 0) return;
    if (getgrnam(kName) == nullptr) {
      std::string output;
      created = RunCapture({"/usr/sbin/groupadd", "--system", kName}, &output);
    }
    if (const group* entry = getgrnam(kName)) id = entry->gr_gid;
  }
  ~AdmittedGroup() {
    std::string output;
    if (created) RunCapture({"/usr/sbin/groupdel", kName}, &output);
  }
  gid_t Id() const { return id; }

 private:
  static constexpr char kName[] = "tarnel";
  bool created = false;
  gid_t id = static_cast<gid_t>(-1);
};

struct ProbeFigures {
  std::vector<double> p50, p99, max;
};

// Round trips of a client of its own on an open connection, for `seconds`, 10 ms apart.
void MeasureProbe(const Server& service, double seconds, ProbeFigures* out) {
  FrameClient probe;
  if (!probe.Connect(service.socketPath)) std::exit(1);
  const std::string frame = EncodeFrame(kQuestion);
  std::vector<double> samples;
  std::string payload;
  const auto start = Clock::now();
  while (SecondsSince(start) < seconds || samples.size() < 5) {
    const auto sent = Clock::now();
    if (!probe.RoundTrip(frame, &payload) || !IsAnswer(service, payload)) {
      std::fprintf(stderr, "probe: round trip failed\n");
      std::exit(1);
    }
    samples.push_back(SecondsSince(sent));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  out->p50.push_back(Percentile(samples, 0.50));
  out->p99.push_back(Percentile(samples, 0.99));
  out->max.push_back(*std::max_element(samples.begin(), samples.end()));
}

// Waits until the service has worked off what the attack left queued: a round trip as
// quick as at rest.
void WaitUntilQuiet(const Server& service, double restP50) {
  FrameClient probe;
  if (!probe.Connect(service.socketPath)) std::exit(1);
  const std::string frame = EncodeFrame(kQuestion);
  std::string payload;
  const auto start = Clock::now();
  while (SecondsSince(start) < 120) {
    const auto sent = Clock::now();
    if (!probe.RoundTrip(frame, &payload)) std::exit(1);
    if (SecondsSince(sent) < 3 * restP50 + 0.001) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string ProbeText(const ProbeFigures& figures) {
  const Summary p50 = Summarise(figures.p50);
  const Summary p99 = Summarise(figures.p99);
  const double max = *std::max_element(figures.max.begin(), figures.max.end());
  return "p50 " + FormatWithSpread(p50, 1e3, "ms", 2) + ", p99 " +
         FormatWithSpread(p99, 1e3, "ms", 1) + ", max " + FormatNumber(max * 1e3, 1) + " ms";
}

std::string Registration() {
  return std::string(R"({"type":"new_install_package",)") +
         R"("package_full_path":"/var/cache/tarnel/setup-2.0.0.exe",)" +
         R"("package_target_version":"2.0.0","package_sha256":")" + std::string(64, 'a') + R"("})";
}

// The probe at rest, then during each attack that `nonReading`, `installing` and
// `pipelining` pick.
void AttackFigures(Server& service, const std::string& root, int repeats, double seconds,
                   bool nonReading, bool installing, bool pipelining) {
  constexpr int kPipeliningConnections = 32;
  ProbeFigures rest, duringNonReading, duringInstalling, duringPipelining;
  for (int r = 0; r < repeats; ++r) MeasureProbe(service, seconds, &rest);
  const double restP50 = Summarise(rest.p50).median;
  for (int r = 0; nonReading && r < repeats; ++r) {
    Attacker attacker(service.socketPath, EncodeFrame(kQuestion));
    // Time for its replies to fill the socket, so that the service's write to it stalls.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    MeasureProbe(service, seconds, &duringNonReading);
  }
  // A sparse file just under the installers' size bound: the service copies all of it.
  const std::string large = root + "/large-setup";
  if (installing) {
    std::ofstream(large).close();
    std::filesystem::resize_file(large, (uint64_t{4} << 30) - 1);
  }
  for (int r = 0; installing && r < repeats; ++r) {
    {
      const InstallingCaller installer(service.socketPath, large);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      MeasureProbe(service, seconds, &duringInstalling);
    }
    WaitUntilQuiet(service, restP50);
  }
  if (installing) std::filesystem::remove(large);
  // The pipelining caller is another user than the probe (root): without root there is no
  // second user to make, and the row is left out.
  const AdmittedGroup group;
  if (pipelining && group.Id() == static_cast<gid_t>(-1)) {
    std::fprintf(stderr, "figure 6, pipelining: needs root (a second user and the group)\n");
    pipelining = false;
  }
  for (int r = 0; pipelining && r < repeats; ++r) {
    {
      const AttackingCaller attacker(service.socketPath, EncodeFrame(Registration()),
                                     kPipeliningConnections, group.Id());
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      MeasureProbe(service, seconds, &duringPipelining);
    }
    WaitUntilQuiet(service, restP50);
  }
  const auto row = [&](const std::string& attack, const ProbeFigures& figures,
                       const std::string& target, const std::string& verdict) {
    PrintRow({"6. another client's round trip, " + attack, ProbeText(figures),
              "at rest " + ProbeText(rest),
              FormatNumber(Summarise(figures.p50).median / restP50, 2), target, verdict});
  };
  if (nonReading) row("one client not reading its replies", duringNonReading, "-", "-");
  if (installing) {
    row("(a) another caller installing a 4 GiB sparse file over and over", duringInstalling,
        "p99 <= 100 ms", Verdict(Summarise(duringInstalling.p99).median <= 0.100));
  }
  if (pipelining) {
    row("(b) " + std::to_string(kPipeliningConnections) +
            " connections of another caller pipelining registrations",
        duringPipelining, "p99 <= 100 ms",
        Verdict(Summarise(duringPipelining.p99).median <= 0.100));
  }
}

// The pending-update record as an installed update leaves it: the flag lowered, the
// values of the last package kept. "is_update_needed" then reads the record and answers
// false, which is what the application hears on almost every check.
void WriteSettledStore(const std::string& stateFolder) {
  std::ofstream(stateFolder + "/updater.json")
      << R"({"InstallPath": "/opt/tarnel", "InstallerPath": "/var/cache/tarnel/setup-2.0.0.exe",)"
      << R"( "InstallerSha256": ")" << std::string(64, 'a') << R"(",)"
      << R"( "InstallerTargetVersion": "2.0.0", "PendingUpdate": 0})"
      << "\n";
}

int Run(int argc, char** argv) {
  const auto options = ParseOptions(argc, argv);
  if (!options.count("service") || !options.count("root")) {
    std::fprintf(stderr, "usage: %s --service PATH --root DIR [--repeats N]\n", argv[0]);
    return 2;
  }
  const std::string root = std::filesystem::absolute(options.at("root")).string();
  PrepareServiceRoot(root);
  WriteSettledStore(root + "/state");
  const int repeats = IntOption(options, "repeats", 5);
  const int roundTrips = IntOption(options, "round-trips", 20000);
  const double seconds = IntOption(options, "throughput-ms", 1500) / 1000.0;
  const int idleSeconds = IntOption(options, "idle-seconds", 10);
  const double probeSeconds = IntOption(options, "probe-ms", 2000) / 1000.0;

  Server service{"service",
                 root + "/run/" + kPipeName,
                 {options.at("service"), "--no-service"},
                 ServiceEnvironment(root),
                 true};
  Server echo{"echo server",
              root + "/run/" + kEchoName,
              {std::filesystem::read_symlink("/proc/self/exe").string(), "echo-server",
               root + "/run/" + kEchoName},
              {},
              false};

  // --figures picks some of "rest", "latency", "throughput", "non-reading", "installing" and
  // "pipelining" (for profiling).
  const std::string figures = options.count("figures")
                                  ? options.at("figures")
                                  : "rest,latency,throughput,non-reading,installing,pipelining";
  const auto wanted = [&](const char* name) { return figures.find(name) != std::string::npos; };
  if (wanted("rest")) AtRestFigures(service, echo, repeats, idleSeconds);
  const bool attacks = wanted("non-reading") || wanted("installing") || wanted("pipelining");
  if (!wanted("latency") && !wanted("throughput") && !attacks) return 0;
  service.Start();
  echo.Start();
  if (wanted("latency")) RoundTripFigures(service, echo, repeats, roundTrips);
  if (wanted("throughput")) ThroughputFigures(service, echo, repeats, seconds);
  // Last: the registrations change the record that the figures above read.
  if (attacks) {
    AttackFigures(service, root, repeats, probeSeconds, wanted("non-reading"), wanted("installing"),
                  wanted("pipelining"));
  }
  service.Stop();
  echo.Stop();
  return 0;
}

}  // namespace
}  // namespace tarnel::bench

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "echo-server") {
    return tarnel::bench::RunEchoServer(argv[2]);
  }
  return tarnel::bench::Run(argc, argv);
}
