// Read-only views of the caller's arrays and the owned result buffers that
// every kernel returns.  Kernels see nothing of Python: they read views,
// allocate their own results and working storage, and report a failed
// internal check by throwing `Panic`.  Allocation failure surfaces as
// std::bad_alloc (or std::length_error from a container), which the call
// frame turns into MemoryError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace gm {

// A large zeroed buffer is fresh pages from the kernel: first touched one
// 4 KiB page at a time, writing a 160 MB result costs five times the
// arithmetic.  Like NumPy's own allocator, ask for huge pages on the
// 2 MiB-aligned interior of any buffer of 4 MiB or more (advice only: a
// kernel that refuses it changes nothing).
inline void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t huge = uintptr_t{1} << 21;
    if (bytes < (size_t{1} << 22)) return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(huge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

// One-dimensional read-only sequence of float64 with a byte stride.
struct Row {
    const char* data = nullptr;
    uint64_t len = 0;
    int64_t stride = sizeof(double);

    double operator[](uint64_t i) const {
        double v;
        std::memcpy(&v, data + static_cast<int64_t>(i) * stride, sizeof v);
        return v;
    }
    bool contiguous() const { return stride == static_cast<int64_t>(sizeof(double)); }
    const double* ptr() const { return reinterpret_cast<const double*>(data); }

    static Row of(const double* p, uint64_t n) {
        return Row{reinterpret_cast<const char*>(p), n, sizeof(double)};
    }
};

// A batch of one-dimensional records of any lengths (a ragged batch): a
// read-only view of `size` rows.
struct RowList {
    const Row* rows = nullptr;
    uint64_t size = 0;

    const Row& operator[](uint64_t i) const { return rows[i]; }
};

// Two-dimensional read-only view: element [i, j] lies at
// data + i * stride0 + j * stride1 (strides in bytes, any sign, zero allowed).
struct View2D {
    const char* data = nullptr;
    uint64_t rows = 0;
    uint64_t cols = 0;
    int64_t stride0 = 0;
    int64_t stride1 = sizeof(double);

    double at(uint64_t i, uint64_t j) const {
        double v;
        std::memcpy(&v,
                    data + static_cast<int64_t>(i) * stride0 + static_cast<int64_t>(j) * stride1,
                    sizeof v);
        return v;
    }
    Row row(uint64_t i) const {
        return Row{data + static_cast<int64_t>(i) * stride0, cols, stride1};
    }
};

// Read-only bytes of the caller's (a Python bytes object).
struct Text {
    const char* data = nullptr;
    uint64_t size = 0;
};

// A record of a ragged batch as a one-row view.
inline View2D one_row(const Row& r) { return View2D{r.data, 1, r.len, 0, r.stride}; }

enum class Dtype { F64, F32 };

// A C-ordered result buffer allocated with calloc and released with free,
// unless ownership has been handed on with release().
class OwnedArray {
public:
    OwnedArray() = default;
    OwnedArray(Dtype dtype, std::initializer_list<uint64_t> shape) : dtype_(dtype) {
        size_t elem = dtype == Dtype::F64 ? sizeof(double) : sizeof(float);
        size_t count = 1;
        for (uint64_t extent : shape) {
            shape_[ndim_++] = extent;
            if (extent != 0 && count > SIZE_MAX / extent) throw std::bad_alloc();
            count *= extent;
        }
        if (count > SIZE_MAX / elem) throw std::bad_alloc();
        // Never hand NumPy a null pointer, even for an empty result.
        size_t bytes = count * elem;
        data_ = std::calloc(bytes == 0 ? 1 : bytes, 1);
        if (data_ == nullptr) throw std::bad_alloc();
        advise_huge_pages(data_, bytes);
        size_ = count;
    }
    OwnedArray(const OwnedArray&) = delete;
    OwnedArray& operator=(const OwnedArray&) = delete;
    OwnedArray(OwnedArray&& o) noexcept { *this = std::move(o); }
    OwnedArray& operator=(OwnedArray&& o) noexcept {
        if (this != &o) {
            std::free(data_);
            data_ = std::exchange(o.data_, nullptr);
            dtype_ = o.dtype_;
            ndim_ = o.ndim_;
            size_ = o.size_;
            for (int k = 0; k < 3; ++k) shape_[k] = o.shape_[k];
        }
        return *this;
    }
    ~OwnedArray() { std::free(data_); }

    double* f64() { return static_cast<double*>(data_); }
    float* f32() { return static_cast<float*>(data_); }
    Dtype dtype() const { return dtype_; }
    int ndim() const { return ndim_; }
    uint64_t shape(int k) const { return shape_[k]; }
    size_t size() const { return size_; }
    // Hands the buffer over; the caller frees it with std::free.
    void* release() { return std::exchange(data_, nullptr); }

private:
    void* data_ = nullptr;
    Dtype dtype_ = Dtype::F64;
    int ndim_ = 0;
    uint64_t shape_[3] = {0, 0, 0};
    size_t size_ = 0;
};

// A failed internal check.  The message is the exact text the caller sees.
struct Panic {
    std::string message;
};

[[noreturn]] inline void panic(std::string message) { throw Panic{std::move(message)}; }

// The three-line message of a failed equality check.
[[noreturn]] inline void panic_not_equal(const char* what, uint64_t left, uint64_t right) {
    panic(std::string("assertion `left == right` failed: ") + what + "\n  left: " +
          std::to_string(left) + "\n right: " + std::to_string(right));
}

// The quiet NaN that kernels write of their own accord (0x7FF8000000000000).
inline double quiet_nan() {
    uint64_t bits = 0x7FF8000000000000ULL;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline bool is_finite_bits(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7FF0000000000000ULL) != 0x7FF0000000000000ULL;
}

}  // namespace gm
