#include "simd.hpp"

#include <cstdlib>
#include <cstring>

namespace gm::simd {

namespace {

Target best() {
#if defined(GM_SIMD_X86)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return Target::Avx2;
    return Target::Baseline;
#elif defined(GM_SIMD_VECTORS)
    return Target::Baseline;
#else
    return Target::Scalar;
#endif
}

Target choose() {
    const Target top = best();
    const char* asked = std::getenv("GROUNDMOTION_SIMD");
    if (asked == nullptr) return top;
    if (std::strcmp(asked, "scalar") == 0) return Target::Scalar;
    if (std::strcmp(asked, "baseline") == 0 && top != Target::Scalar) return Target::Baseline;
    return top;
}

}  // namespace

Target target() {
    static const Target chosen = choose();
    return chosen;
}

const char* target_name(Target t) {
    switch (t) {
        case Target::Avx2:
            return "avx2";
        case Target::Baseline:
            return "baseline";
        default:
            return "scalar";
    }
}

}  // namespace gm::simd
