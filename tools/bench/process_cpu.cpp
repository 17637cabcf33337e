#include "process_cpu.h"

#include <unistd.h>

#include <charconv>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace parlivo::bench {

std::optional<unsigned long long> CpuTicksFromProcStat(std::string_view stat) {
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  // After the name: state is field 3, utime field 14, stime field 15.
  std::string_view rest = stat.substr(close + 1);
  unsigned long long ticks = 0;
  for (int field = 3; field <= 15; ++field) {
    const std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(start);
    const std::size_t end = std::min(rest.find(' '), rest.size());
    if (field >= 14) {
      unsigned long long value = 0;
      const auto [ptr, error] = std::from_chars(rest.data(), rest.data() + end, value);
      if (error != std::errc() || ptr != rest.data() + end) return std::nullopt;
      ticks += value;
    }
    rest.remove_prefix(end);
  }
  return ticks;
}

std::optional<double> ProcessCpuSeconds(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  if (!file) return std::nullopt;
  std::stringstream text;
  text << file.rdbuf();
  const auto ticks = CpuTicksFromProcStat(text.str());
  if (!ticks) return std::nullopt;
  return static_cast<double>(*ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::optional<unsigned long long> ProcessRssKib(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("VmRSS:", 0) != 0) continue;
    std::istringstream fields(line.substr(6));
    unsigned long long kib = 0;
    if (fields >> kib) return kib;
    return std::nullopt;
  }
  return std::nullopt;
}

double OwnCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace parlivo::bench
