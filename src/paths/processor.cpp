// This processor read once: its features from CPUID and XCR0, its identity and brand string
// from CPUID, its core's caches from sysfs; apart from any choice of a path or a tuning. Compiled
// for plain x86-64.
#include "paths/processor.hpp"

#include <cpuid.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

namespace friendly {

namespace {

// CPUID's registers for leaf and subleaf; present is false, and the registers 0, where the
// processor lacks the leaf.
struct Cpuid {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  bool present = false;
};

Cpuid cpuid(unsigned leaf, unsigned subleaf = 0) noexcept {
  Cpuid r;
  r.present = __get_cpuid_count(leaf, subleaf, &r.eax, &r.ebx, &r.ecx, &r.edx) != 0;
  if (!r.present) r = Cpuid{};
  return r;
}

// Bits of CPUID leaf 1 ECX, leaf 7 EBX and XCR0 that the features need.
constexpr std::uint32_t kOsxsave = 1U << 27;
constexpr std::uint32_t kAvx = 1U << 28;
constexpr std::uint32_t kAvx2 = 1U << 5;
constexpr std::uint32_t kAvx512f = 1U << 16;
constexpr std::uint32_t kAvx512dq = 1U << 17;
constexpr std::uint32_t kAvx512bw = 1U << 30;
constexpr std::uint32_t kAvx512vl = 1U << 31;
constexpr std::uint64_t kXmmYmmState = 0x6;    // SSE and AVX registers saved
constexpr std::uint64_t kZmmMaskState = 0xE0;  // AVX-512 mask and upper ZMM registers saved

// XCR0, the register states that the operating system saves; requires OSXSAVE.
std::uint64_t saved_states() noexcept {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return std::uint64_t{high} << 32 | low;
}

}  // namespace

FeatureSet decode_features(std::uint32_t leaf1_ecx, std::uint32_t leaf7_ebx,
                           std::uint64_t xcr0) noexcept {
  // Every feature here uses the YMM registers, the AVX-512 ones also the ZMM and mask registers:
  // without OSXSAVE, or where the system saves no such state, none may run.
  if ((leaf1_ecx & kOsxsave) == 0 || (xcr0 & kXmmYmmState) != kXmmYmmState) return 0;
  FeatureSet set = 0;
  if ((leaf1_ecx & kAvx) != 0) set |= features(CpuFeature::avx);
  if ((leaf7_ebx & kAvx2) != 0) set |= features(CpuFeature::avx2);
  if ((xcr0 & kZmmMaskState) != kZmmMaskState) return set;
  if ((leaf7_ebx & kAvx512f) != 0) set |= features(CpuFeature::avx512f);
  if ((leaf7_ebx & kAvx512dq) != 0) set |= features(CpuFeature::avx512dq);
  if ((leaf7_ebx & kAvx512bw) != 0) set |= features(CpuFeature::avx512bw);
  if ((leaf7_ebx & kAvx512vl) != 0) set |= features(CpuFeature::avx512vl);
  return set;
}

FeatureSet processor_features() noexcept {
  static const FeatureSet detected = [] {
    const Cpuid leaf1 = cpuid(1);
    if (!leaf1.present) return FeatureSet{0};
    const std::uint64_t xcr0 = (leaf1.ecx & kOsxsave) != 0 ? saved_states() : 0;
    return decode_features(leaf1.ecx, cpuid(7, 0).ebx, xcr0);
  }();
  return detected;
}

std::int64_t cache_size_bytes(const std::string& text) noexcept {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long number = std::strtoll(begin, &end, 10);
  if (end == begin || errno != 0 || number <= 0) return 0;
  std::int64_t scale = 1;
  if (*end == 'K') scale = std::int64_t{1} << 10;
  if (*end == 'M') scale = std::int64_t{1} << 20;
  if (*end == 'G') scale = std::int64_t{1} << 30;
  if (scale != 1) ++end;
  while (*end == '\n' || *end == ' ')
    ++end;
  if (*end != '\0' || number > (std::int64_t{1} << 40) / scale) return 0;
  return number * scale;
}

namespace {

// The first line of the file at path, or "" when it cannot be read.
std::string first_line(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// sysfs's cache folder of processor cpu.
std::string cpu_cache_folder(int cpu) {
  return "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cache";
}

}  // namespace

CacheSizes sysfs_caches(const std::string& folder) {
  CacheSizes caches;
  for (int index = 0; index < 16; ++index) {
    const std::string entry = folder + "/index" + std::to_string(index) + "/";
    const std::string level = first_line(entry + "level");
    if (level.empty()) break;
    const std::string type = first_line(entry + "type");
    if (type != "Data" && type != "Unified") continue;
    const std::int64_t bytes = cache_size_bytes(first_line(entry + "size"));
    if (level == "1") caches.level1_data = bytes;
    if (level == "2") caches.level2 = bytes;
  }
  return caches;
}

CacheSizes core_caches() noexcept {
  try {
    const int cpu = sched_getcpu();
    CacheSizes caches = sysfs_caches(cpu_cache_folder(cpu > 0 ? cpu : 0));
    if (caches.level1_data == 0 && cpu > 0) caches = sysfs_caches(cpu_cache_folder(0));
    // sysconf reads the processor's own description where sysfs is missing.
    if (caches.level1_data == 0) caches.level1_data = sysconf(_SC_LEVEL1_DCACHE_SIZE);
    if (caches.level2 == 0) caches.level2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
    if (caches.level1_data < 0) caches.level1_data = 0;
    if (caches.level2 < 0) caches.level2 = 0;
    return caches;
  } catch (...) {
    return {};
  }
}

ProcessorId decode_processor(std::string_view vendor, std::uint32_t leaf1_eax,
                             std::int64_t level1_data) noexcept {
  ProcessorId id;
  if (vendor == "GenuineIntel") id.vendor = Vendor::intel;
  if (vendor == "AuthenticAMD") id.vendor = Vendor::amd;
  // The extended family counts only past family 15, the extended model only there and in 6.
  const auto base_family = static_cast<int>(leaf1_eax >> 8 & 0xF);
  const auto base_model = static_cast<int>(leaf1_eax >> 4 & 0xF);
  const bool extended = base_family == 6 || base_family == 15;
  id.family = base_family + (base_family == 15 ? static_cast<int>(leaf1_eax >> 20 & 0xFF) : 0);
  id.model = base_model + (extended ? static_cast<int>(leaf1_eax >> 16 & 0xF) << 4 : 0);
  id.level1_data = level1_data;
  return id;
}

ProcessorId this_processor() noexcept {
  static const ProcessorId processor = [] {
    const Cpuid leaf0 = cpuid(0);
    if (!leaf0.present) return ProcessorId{};
    char vendor[12] = {};
    std::memcpy(vendor, &leaf0.ebx, 4);
    std::memcpy(vendor + 4, &leaf0.edx, 4);
    std::memcpy(vendor + 8, &leaf0.ecx, 4);
    return decode_processor(std::string_view(vendor, sizeof vendor), cpuid(1).eax,
                            core_caches().level1_data);
  }();
  return processor;
}

const std::string& processor_brand() {
  static const std::string brand = [] {
    // The brand string of CPUID leaves 0x80000002 to 0x80000004, 16 bytes each, padded with
    // blanks or zeros on either side.
    unsigned words[12] = {};
    for (unsigned leaf = 0; leaf < 3; ++leaf) {
      const Cpuid part = cpuid(0x80000002U + leaf);
      if (!part.present) return std::string("unknown");
      const unsigned registers[4] = {part.eax, part.ebx, part.ecx, part.edx};
      std::memcpy(words + std::size_t{4} * leaf, registers, sizeof registers);
    }
    char text[sizeof words + 1] = {};
    std::memcpy(text, words, sizeof words);
    std::string_view name = text;
    const std::size_t first = name.find_first_not_of(' ');
    if (first == std::string_view::npos) return std::string("unknown");
    name = name.substr(first, name.find_last_not_of(' ') - first + 1);
    return std::string(name);
  }();
  return brand;
}

}  // namespace friendly
