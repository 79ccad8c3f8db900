#include "core/parallel/cpus.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace quorbis::core::parallel {
namespace {

std::size_t hardware_cpus() noexcept { return std::max(1u, std::thread::hardware_concurrency()); }

#if defined(__linux__)

std::size_t affinity_cpus() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return hardware_cpus();  // more CPUs than the mask holds
  return static_cast<std::size_t>(std::max(1, CPU_COUNT(&set)));
}

// ceil(quota / period), or nothing for "max", an unreadable file or nonsense.
std::optional<std::size_t> cpus_of_quota(double quota, double period) {
  if (!(quota > 0.0) || !(period > 0.0)) return std::nullopt;
  return static_cast<std::size_t>(std::max(1.0, std::ceil(quota / period)));
}

// cgroup v2 keeps "QUOTA PERIOD" (or "max PERIOD") in cpu.max; v1 two files of microseconds.
std::optional<std::size_t> quota_in(const std::string& dir, bool v2) {
  double quota = 0.0, period = 0.0;
  if (v2) {
    std::ifstream file(dir + "/cpu.max");
    std::string first;
    if (!(file >> first >> period) || first == "max") return std::nullopt;
    quota = std::strtod(first.c_str(), nullptr);
  } else {
    std::ifstream quota_file(dir + "/cpu.cfs_quota_us"), period_file(dir + "/cpu.cfs_period_us");
    if (!(quota_file >> quota) || !(period_file >> period)) return std::nullopt;
  }
  return cpus_of_quota(quota, period);
}

// The tightest quota on the way from the process's own control group up to the root of the hierarchy.
std::optional<std::size_t> quota_along(const std::string& mount, std::string path, bool v2) {
  std::optional<std::size_t> tightest;
  for (;;) {
    if (auto cpus = quota_in(mount + path, v2)) tightest = std::min(tightest.value_or(*cpus), *cpus);
    const auto slash = path.find_last_of('/');
    if (path.empty() || slash == std::string::npos) return tightest;
    path.erase(slash);
  }
}

bool names_cpu_controller(const std::string& controllers) {
  std::istringstream list(controllers);
  for (std::string name; std::getline(list, name, ',');) {
    if (name == "cpu") return true;
  }
  return false;
}

// Lines of /proc/self/cgroup are "ID:CONTROLLERS:PATH"; v2 has the single line "0::PATH".
std::optional<std::size_t> cgroup_cpus() {
  std::ifstream cgroups("/proc/self/cgroup");
  std::optional<std::size_t> tightest;
  for (std::string line; std::getline(cgroups, line);) {
    const auto first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1), path = line.substr(second + 1);
    std::optional<std::size_t> cpus;
    if (controllers.empty()) {
      cpus = quota_along("/sys/fs/cgroup", path, true);
    } else if (names_cpu_controller(controllers)) {
      for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        if (auto found = quota_along(mount, path, false)) cpus = found;
      }
    }
    if (cpus) tightest = std::min(tightest.value_or(*cpus), *cpus);
  }
  return tightest;
}

#endif

}  // namespace

std::size_t available_cpus() noexcept {
#if defined(__linux__)
  try {
    const std::size_t cpus = affinity_cpus();
    return std::max<std::size_t>(1, std::min(cpus, cgroup_cpus().value_or(cpus)));
  } catch (...) {  // reading the control group files ran out of memory: the mask alone
    return affinity_cpus();
  }
#else
  return hardware_cpus();
#endif
}

}  // namespace quorbis::core::parallel
