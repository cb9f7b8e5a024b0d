// The call frame that every module function runs through: bind the
// arguments to the parameter list, convert them in order (arrays to
// read-only views, numbers to float64 or unsigned 64-bit integers), release
// the interpreter lock around the kernel, wrap the kernel's buffer as a new
// NumPy array without copying, and turn every failure into a Python
// exception.
//
// A function is declared once, in its module's table:
//
//   GM_FUNCTION(_cav, gm::cav, "Doc text.", waveforms_py, dt)
//
// names the Python function, its kernel, its documentation and its
// parameters in Python order.  The parameter kinds come from the kernel's
// C++ parameter types (const View2D& is an array, const RowList& a sequence
// of 1-D arrays, const Text& a bytes object, double a float, uint64_t an
// unsigned integer), and the adapter, the method-table row and the text
// signature from the declaration; nothing here is specific to one measure.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "views.hpp"

namespace gm::frame {

enum class Kind : uint8_t {
    Array,  // a two-dimensional float64 ndarray, any layout, borrowed read-only
    Float,  // float64 through the interpreter's float conversion
    UInt,   // unsigned 64-bit integer through the index protocol
    Rows,   // a list or tuple of one-dimensional float64 ndarrays, any lengths and strides
    Bytes,  // a bytes object, borrowed read-only
};

// One converted argument; only the member matching the parameter's kind is set.
struct Value {
    View2D view;
    double f = 0.0;
    uint64_t u = 0;
    std::vector<Row> row_storage;
    RowList rows;
    Text text;
};

// What a kernel hands back: a result array, or a static text.
struct Result {
    OwnedArray array;
    const char* text = nullptr;
    Result(OwnedArray&& a) : array(std::move(a)) {}
    Result(const char* t) : text(t) {}
};

using Kernel = Result (*)(const Value* args);

struct Function {
    const char* name;
    const char* params;  // the parameter names in Python order, ", " between
    const Kind* kinds;
    Py_ssize_t n_params;
    Kernel kernel;
    const char* doc;  // text signature and documentation
};

constexpr Py_ssize_t MAX_PARAMS = 4;

// Parameter i's name within fn.params.
std::string_view param_name(const Function& fn, Py_ssize_t i);

// ---------------------------------------------------------------------------
// Declarations.

template <class T>
consteval Kind kind_of() {
    if constexpr (std::is_same_v<T, View2D>) {
        return Kind::Array;
    } else if constexpr (std::is_same_v<T, double>) {
        return Kind::Float;
    } else if constexpr (std::is_same_v<T, RowList>) {
        return Kind::Rows;
    } else if constexpr (std::is_same_v<T, Text>) {
        return Kind::Bytes;
    } else {
        static_assert(std::is_same_v<T, uint64_t>,
                      "a kernel takes views, row lists, doubles or uint64_t");
        return Kind::UInt;
    }
}

template <class T>
const T& value_of(const Value& v) {
    if constexpr (std::is_same_v<T, View2D>) {
        return v.view;
    } else if constexpr (std::is_same_v<T, double>) {
        return v.f;
    } else if constexpr (std::is_same_v<T, RowList>) {
        return v.rows;
    } else if constexpr (std::is_same_v<T, Text>) {
        return v.text;
    } else {
        return v.u;
    }
}

template <auto K>
struct Signature;

template <class R, class... A, R (*K)(A...)>
struct Signature<K> {
    static constexpr std::array<Kind, sizeof...(A)> kinds{kind_of<std::remove_cvref_t<A>>()...};
    static Result run(const Value* v) {
        return [v]<size_t... I>(std::index_sequence<I...>) {
            return Result(K(value_of<std::remove_cvref_t<A>>(v[I])...));
        }(std::index_sequence_for<A...>{});
    }
};

// How many names a list such as "waveforms_py, dt" holds ("" holds none).
consteval Py_ssize_t count_names(std::string_view names) {
    if (names.empty()) return 0;
    Py_ssize_t n = 1;
    for (char c : names) n += c == ',';
    return n;
}

template <auto K>
constexpr Function declare(const char* name, const char* params, const char* doc) {
    using S = Signature<K>;
    return Function{name, params, S::kinds.data(), static_cast<Py_ssize_t>(S::kinds.size()),
                    &S::run, doc};
}

#define GM_FUNCTION(NAME, KERNEL, DOC, ...)                                             \
    ([] {                                                                               \
        static_assert(::gm::frame::count_names(#__VA_ARGS__) ==                         \
                          ::gm::frame::Signature<KERNEL>::kinds.size(),                 \
                      #NAME ": one parameter name per kernel parameter");               \
        static_assert(::gm::frame::count_names(#__VA_ARGS__) <= ::gm::frame::MAX_PARAMS); \
        return ::gm::frame::declare<KERNEL>(#NAME, #__VA_ARGS__,                        \
                                            #NAME "(" #__VA_ARGS__ ")\n--\n\n" DOC);    \
    }())

// ---------------------------------------------------------------------------
// Calls and failures.

// Runs one call of `fn` (vectorcall with keyword names).
PyObject* call(const Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Sets the type-mismatch TypeError: "'<qualname>' object is not an instance
// of '<expected>'" ("'None' is not an instance of ..." for None).
void raise_type_mismatch(PyObject* obj, const char* expected);

// The process-wide exception class for failed internal checks (one class
// for every module of the package); null with an exception set if it cannot
// be created.
PyObject* panic_exception();

// Raises the failed-internal-check exception with `message`.
void raise_panic(const char* message, Py_ssize_t size);

}  // namespace gm::frame
