#pragma once
// One kernel built for several instruction sets. Every variant gives the
// same bytes; the widest one this CPU supports runs, chosen when the program
// runs, never assumed of the machine it was built on.

#include <algorithm>
#include <span>

namespace kadrix {

template <class Fn>
struct KernelVariant {
  const char* name;
  bool (*supported)();  // whether this CPU can run it
  Fn run;
};

// The variants are listed widest first and the last one runs anywhere.
template <class Fn>
const KernelVariant<Fn>& widest_supported(std::span<const KernelVariant<Fn>> variants) {
  return *std::find_if(variants.begin(), variants.end(), [](const KernelVariant<Fn>& v) { return v.supported(); });
}

inline bool runs_anywhere() { return true; }

#if defined(__x86_64__) || defined(__i386__)
#define KADRIX_X86_VARIANTS 1
inline bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }
inline bool cpu_has_avx512f() { return __builtin_cpu_supports("avx512f"); }
inline bool cpu_has_avx512bw() { return __builtin_cpu_supports("avx512bw"); }
#endif

}  // namespace kadrix
