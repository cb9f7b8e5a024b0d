// The call frame that every module function runs through: bind the
// arguments to the parameter list, convert them in order (arrays to
// read-only views, numbers to float64 or unsigned 64-bit integers), release
// the interpreter lock around the kernel, wrap the kernel's buffer as a new
// NumPy array without copying, and turn every failure into a Python
// exception.  Adding a function is a table row, a parameter list and a
// kernel adapter (module.cpp); nothing here is specific to one measure.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "views.hpp"

namespace gm::frame {

enum class Kind : uint8_t {
    Array,  // a two-dimensional float64 ndarray, any layout, borrowed read-only
    Float,  // float64 through the interpreter's float conversion
    UInt,   // unsigned 64-bit integer through the index protocol
};

struct Param {
    const char* name;
    Kind kind;
};

// One converted argument; only the member matching the parameter's kind is set.
struct Value {
    View2D view;
    double f = 0.0;
    uint64_t u = 0;
};

using Kernel = OwnedArray (*)(const Value* args);

struct Function {
    const char* name;
    const Param* params;
    Py_ssize_t n_params;
    Kernel kernel;
};

constexpr Py_ssize_t MAX_PARAMS = 4;

// Runs one call of `fn` (vectorcall with keyword names).
PyObject* call(const Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Sets the type-mismatch TypeError: "'<qualname>' object is not an instance
// of '<expected>'" ("'None' is not an instance of ..." for None).
void raise_type_mismatch(PyObject* obj, const char* expected);

// The process-wide exception class for failed internal checks; null with an
// exception set if it cannot be created.
PyObject* panic_exception();

// Raises the failed-internal-check exception with `message`.
void raise_panic(const char* message, Py_ssize_t size);

}  // namespace gm::frame
