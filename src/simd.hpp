// The one vocabulary of vector code: lane types, loads and stores, selects,
// shuffles, and the run-time choice of the instruction set.
//
// A kernel writes its arithmetic once, as a template over a target tag
// (`Scalar`, `Baseline`, `Avx2`), and hands it to `dispatch`, which runs it
// with the tag of the instruction set chosen for this process:
//
//   return simd::dispatch([&](auto tag) GM_LAMBDA_INLINE {
//       using V = typename decltype(tag)::f64;   // double, or four doubles
//       ...
//   });
//
// `Scalar` runs plain doubles.  `Baseline` and `Avx2` run vectors of four
// doubles: on x86-64 the baseline is SSE2 (the compiler splits each vector
// into two halves), `Avx2` the same code compiled for AVX2 (never FMA); on
// aarch64 the baseline is NEON.  The lanes of a vector never mix in
// arithmetic, and every operation here rounds as its scalar form does, so a
// lane gives the bits of the scalar path whichever target ran it.  The
// build must not contract a*b+c (-ffp-contract=off) nor reassociate.
//
// GROUNDMOTION_SIMD, read once per process, narrows the choice: "scalar"
// runs the scalar path, "baseline" the baseline vectors; anything else, or
// nothing, takes the best the processor has.  A build with GM_SIMD_DISABLED
// contains the scalar path only.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#define GM_INLINE [[gnu::always_inline]] inline
// After a lambda's parameter list: inline the body into the caller, so that
// it is compiled for the caller's instruction set.
#define GM_LAMBDA_INLINE __attribute__((always_inline))

#if !defined(GM_SIMD_DISABLED) && (defined(__x86_64__) || defined(__aarch64__))
#define GM_SIMD_VECTORS 1
#if defined(__x86_64__)
#define GM_SIMD_X86 1
#endif
#endif

// Four-double vectors passed by value between inlined helpers: the ABI note
// the compilers give for them concerns calls that never happen.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace gm::simd {

typedef double f64x4 __attribute__((vector_size(32)));
typedef int64_t i64x4 __attribute__((vector_size(32)));
typedef double f64x2 __attribute__((vector_size(16)));
typedef float f32x4 __attribute__((vector_size(16)));

// ---------------------------------------------------------------------------
// Targets.

enum class Target : int { Scalar = 0, Baseline = 1, Avx2 = 2 };

struct Scalar {
    using f64 = double;
    using mask = bool;
    static constexpr int lanes = 1;
    static constexpr Target target = Target::Scalar;
};

struct Baseline {
    using f64 = f64x4;
    using mask = i64x4;
    static constexpr int lanes = 4;
    static constexpr Target target = Target::Baseline;
};

struct Avx2 : Baseline {
    static constexpr Target target = Target::Avx2;
};

template <class Tag>
constexpr bool is_vector = Tag::lanes > 1;

// The target of this process: GROUNDMOTION_SIMD and the processor, looked
// at on the first call only.
Target target();
const char* target_name(Target t);

// ---------------------------------------------------------------------------
// Lanes.  V is double, f64x2 or f64x4; every helper has one meaning for all
// three and rounds as the scalar form does, so that templates over V agree
// lane by lane.  Bits<V> is V's integer twin (int64_t, i64x2, i64x4):
// comparisons give it as a mask, all ones where true (a bool for double,
// which less() and greater_equal() widen), so masks combine with the same
// bit operations on every target.

template <class V>
constexpr size_t lanes_of = sizeof(V) / sizeof(double);

// What comparing two V gives: bool, or lanes of all ones or zeros.
template <class V>
using Mask = decltype(V{} < V{});

template <class V>
using Bits = std::conditional_t<lanes_of<V> == 1, int64_t, Mask<V>>;

// The lane type a target runs best: the baseline's vector units (SSE2,
// NEON) hold two doubles, and GCC compares and selects four-double vectors
// on them lane by lane through general registers.
template <class Tag>
using native = std::conditional_t<Tag::target == Target::Baseline, f64x2, typename Tag::f64>;

template <class V, class T>
GM_INLINE V splat_as(T x) {
    if constexpr (lanes_of<V> == 1) {
        return x;
    } else if constexpr (lanes_of<V> == 2) {
        return V{x, x};
    } else {
        return V{x, x, x, x};
    }
}

template <class V>
GM_INLINE V splat(double x) {
    return splat_as<V>(x);
}

template <class V>
GM_INLINE Bits<V> splat_bits(int64_t a) {
    return splat_as<Bits<V>>(a);
}

template <class V>
GM_INLINE V as_double(Bits<V> v) {
    return std::bit_cast<V>(v);
}
template <class V>
GM_INLINE Bits<V> as_bits(V v) {
    return std::bit_cast<Bits<V>>(v);
}

template <class V>
GM_INLINE V load(const void* p) {
    V v;
    std::memcpy(&v, p, sizeof v);  // the caller's array need not be aligned
    return v;
}

template <class V>
GM_INLINE void store(void* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// m ? a : b, lane by lane; a scalar mask is a bool or an integer.
template <class M, class V>
GM_INLINE V select(M m, V a, V b) {
    return m ? a : b;
}

// a < b and a >= b as masks of all ones.
template <class V>
GM_INLINE Bits<V> less(V a, V b) {
    if constexpr (lanes_of<V> == 1) {
        return -static_cast<int64_t>(a < b);
    } else {
        return a < b;
    }
}
template <class V>
GM_INLINE Bits<V> greater_equal(V a, V b) {
    if constexpr (lanes_of<V> == 1) {
        return -static_cast<int64_t>(a >= b);
    } else {
        return a >= b;
    }
}

// |x| by clearing the sign bit, as fabs does (NaN payloads kept).
template <class V>
GM_INLINE V abs(V x) {
    if constexpr (lanes_of<V> == 1) {
        return std::fabs(x);
    } else {
        return std::bit_cast<V>(std::bit_cast<Bits<V>>(x) & INT64_MAX);
    }
}

// a < b ? a : b and a > b ? a : b: when either is NaN the result is b.
template <class V>
GM_INLINE V min(V a, V b) {
    return select(a < b, a, b);
}
template <class V>
GM_INLINE V max(V a, V b) {
    return select(a > b, a, b);
}

// Whether any lane, or every lane, of a mask is set; whether lane j is.
template <class M>
GM_INLINE bool any(M m) {
    if constexpr (sizeof(M) <= sizeof(int64_t)) {
        return m != 0;
    } else if constexpr (sizeof(M) == 2 * sizeof(int64_t)) {
        return (m[0] | m[1]) != 0;
    } else {
        return ((m[0] | m[1]) | (m[2] | m[3])) != 0;
    }
}
template <class M>
GM_INLINE bool all(M m) {
    if constexpr (sizeof(M) <= sizeof(int64_t)) {
        return m != 0;
    } else if constexpr (sizeof(M) == 2 * sizeof(int64_t)) {
        return (m[0] & m[1]) != 0;
    } else {
        return ((m[0] & m[1]) & (m[2] & m[3])) != 0;
    }
}
template <class M>
GM_INLINE bool lane_set(M m, uint64_t j) {
    if constexpr (sizeof(M) <= sizeof(int64_t)) {
        (void)j;
        return m != 0;
    } else {
        return m[j] != 0;
    }
}
// A mask with every lane set.
template <class M>
GM_INLINE M all_set() {
    if constexpr (std::is_same_v<M, bool>) {
        return true;
    } else {
        return M{} == M{};
    }
}

GM_INLINE double lane(double v, int) { return v; }
template <class V>
GM_INLINE double lane(V v, int i) {
    return v[i];
}

// The smallest and the largest lane, under the rule of min and max, each
// half of a four-lane vector against the other first:
// min(min(v0, v2), min(v1, v3)).
template <class V>
GM_INLINE double hmin(V v) {
    if constexpr (lanes_of<V> == 1) {
        return v;
    } else if constexpr (lanes_of<V> == 2) {
        return min(v[0], v[1]);
    } else {
        return min(min(v[0], v[2]), min(v[1], v[3]));
    }
}
template <class V>
GM_INLINE double hmax(V v) {
    if constexpr (lanes_of<V> == 1) {
        return v;
    } else if constexpr (lanes_of<V> == 2) {
        return max(v[0], v[1]);
    } else {
        return max(max(v[0], v[2]), max(v[1], v[3]));
    }
}

// Lanes of a and b picked by index (0..3 from a, 4..7 from b).
#define GM_SHUFFLE(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)

// in[j] holds element j of four rows' lanes; afterwards out[i] holds lane i
// of every in[j], that is out[i][j] = in[j][i].
GM_INLINE void transpose4(const f64x4 (&in)[4], f64x4 (&out)[4]) {
    const f64x4 t0 = GM_SHUFFLE(in[0], in[1], 0, 4, 2, 6);
    const f64x4 t1 = GM_SHUFFLE(in[0], in[1], 1, 5, 3, 7);
    const f64x4 t2 = GM_SHUFFLE(in[2], in[3], 0, 4, 2, 6);
    const f64x4 t3 = GM_SHUFFLE(in[2], in[3], 1, 5, 3, 7);
    out[0] = GM_SHUFFLE(t0, t2, 0, 1, 4, 5);
    out[1] = GM_SHUFFLE(t1, t3, 0, 1, 4, 5);
    out[2] = GM_SHUFFLE(t0, t2, 2, 3, 6, 7);
    out[3] = GM_SHUFFLE(t1, t3, 2, 3, 6, 7);
}

// Four consecutive elements as 4 / L values of V, and their transpose: in
// holds four rows of four elements, in[p][j] the part p of row j; out[p][i]
// is then the part p of column i.
template <class V>
constexpr size_t PARTS = 4 / lanes_of<V>;

template <class V>
GM_INLINE void transpose_quad(const V (&in)[PARTS<V>][4], V (&out)[PARTS<V>][4]) {
    if constexpr (lanes_of<V> == 1) {
        for (size_t q = 0; q < 4; ++q)
            for (size_t i = 0; i < 4; ++i) out[q][i] = in[i][q];
    } else if constexpr (lanes_of<V> == 2) {
        // out[p][i] = {row 2p, row 2p + 1} of column i; column i lies in
        // part i / 2 of the rows, at lane i % 2.
        for (size_t p = 0; p < 2; ++p) {
            for (size_t h = 0; h < 2; ++h) {
                out[p][2 * h] = GM_SHUFFLE(in[h][2 * p], in[h][2 * p + 1], 0, 2);
                out[p][2 * h + 1] = GM_SHUFFLE(in[h][2 * p], in[h][2 * p + 1], 1, 3);
            }
        }
    } else {
        transpose4(in[0], out[0]);
    }
}

// x in every lane, for a value read from memory in a loop.  On AVX2 it is
// written as x added to -0.0 (exact for every x; a signalling NaN comes out
// quiet, as any arithmetic on it would make it), which leads the compiler
// to one broadcast from memory per use, where a plain splat of neighbouring
// values becomes one wide load and a shuffle per lane.  The baseline, with
// no such broadcast, is better served by the plain splat.
template <class Tag>
GM_INLINE native<Tag> broadcast(double x) {
    using V = native<Tag>;
    if constexpr (Tag::target == Target::Avx2) {
        V v = splat<V>(-0.0);
        v += x;
        return v;
    } else {
        return splat<V>(x);
    }
}

// ---------------------------------------------------------------------------
// Dispatch.

#if defined(GM_SIMD_X86)
#define GM_TARGET_AVX2 __attribute__((target("avx2")))

template <class Body>
[[gnu::noinline]] GM_TARGET_AVX2 decltype(auto) run_avx2(Body& body) {
    return body(Avx2{});
}
#endif

#if defined(GM_SIMD_VECTORS)
template <class Body>
[[gnu::noinline]] decltype(auto) run_baseline(Body& body) {
    return body(Baseline{});
}
#endif

// Runs body(tag) with the tag of this process's target.
template <class Body>
decltype(auto) dispatch(Body&& body) {
    switch (target()) {
#if defined(GM_SIMD_X86)
        case Target::Avx2:
            return run_avx2(body);
#endif
#if defined(GM_SIMD_VECTORS)
        case Target::Baseline:
            return run_baseline(body);
#endif
        default:
            return body(Scalar{});
    }
}

}  // namespace gm::simd
