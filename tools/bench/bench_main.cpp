// parlivo-bench: load generator for a Parlivo chat server. See kBenchUsage
// (bench_options.cpp) for what it does and load_run.h for how.

#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "bench_options.h"
#include "bench_report.h"
#include "load_run.h"

namespace parlivo::bench {
namespace {

// Descriptors the process needs besides one per client (standard streams,
// the resolver, and some slack).
constexpr rlim_t kSpareDescriptors = 32;

// Raises the soft limit on open files to what `clients` connections need.
// Returns an error text when even the hard limit is too low.
std::string RaiseFileLimit(std::uint64_t clients) {
  const rlim_t needed = rlim_t{clients} + kSpareDescriptors;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::string("cannot read the open-file limit: ") + std::strerror(errno);
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed) return {};
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
    return std::to_string(clients) + " clients need " + std::to_string(needed) +
           " open files, but the hard limit is " + std::to_string(limit.rlim_max) +
           " (raise it with 'ulimit -Hn' as root, or use fewer --clients)";
  }
  limit.rlim_cur = needed;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return "cannot raise the open-file limit to " + std::to_string(needed) + ": " + std::strerror(errno);
  }
  return {};
}

int Main(int argc, char** argv) {
  BenchOptions options;
  try {
    options = ParseBenchOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& error) {
    std::fprintf(stderr, "parlivo-bench: %s\nTry 'parlivo-bench --help' for more information.\n",
                 error.message.c_str());
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(kBenchUsage, stdout);
    return kExitOk;
  }
  if (const std::string problem = RaiseFileLimit(TotalClients(options)); !problem.empty()) {
    std::fprintf(stderr, "parlivo-bench: %s\n", problem.c_str());
    return kExitCannotConnect;
  }
  std::signal(SIGPIPE, SIG_IGN);

  const BenchReport report = LoadRun(options).Run();
  const std::string text = options.json ? FormatJson(report) + "\n" : FormatTable(report);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  if (!report.error.empty()) std::fprintf(stderr, "parlivo-bench: %s\n", report.error.c_str());
  return report.exitStatus;
}

}  // namespace
}  // namespace parlivo::bench

int main(int argc, char** argv) {
  try {
    return parlivo::bench::Main(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "parlivo-bench: unexpected error: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "parlivo-bench: unexpected error\n");
  }
  return parlivo::bench::kExitFailed;
}
