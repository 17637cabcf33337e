#pragma once
// CPU time of a process, as Linux accounts it in /proc: how the load
// generator tells how busy the server it measures was (and itself).

#include <optional>
#include <string_view>

namespace parlivo::bench {

// User plus system time in clock ticks from the text of /proc/PID/stat.
// The process name (second field, in parentheses) may hold spaces and
// parentheses itself, so the fields are counted from its last ')'.
std::optional<unsigned long long> CpuTicksFromProcStat(std::string_view stat);

// Seconds of CPU that process `pid` has used so far; nullopt when it cannot
// be read (no such process, no /proc).
std::optional<double> ProcessCpuSeconds(int pid);

// Resident memory of process `pid` in KiB (VmRSS of /proc/PID/status);
// nullopt when it cannot be read.
std::optional<unsigned long long> ProcessRssKib(int pid);

// Seconds of CPU that this process has used so far.
double OwnCpuSeconds();

}  // namespace parlivo::bench
