#include "call_frame.hpp"
#include "module_def.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

// NumPy's C API is loaded on first use, not at import: this is the one
// translation unit that defines the table pointer.
#define PY_ARRAY_UNIQUE_SYMBOL groundmotion_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_15_API_VERSION
#define NPY_TARGET_VERSION NPY_1_15_API_VERSION
#include <numpy/arrayobject.h>

// Read-only borrows: NumPy-aware extension modules may share a registry of
// array borrows (a capsule on NumPy's multiarray module).  This module does
// not take part in it: read access is never refused and no capsule is made.
// Inputs are only ever read, so taking part would protect nothing of ours.

namespace gm::frame {

namespace {

// ---------------------------------------------------------------------------
// Process-wide caches.  Each is created outside any lock (creating it may run
// Python code, which may switch threads) and published with a
// compare-and-swap: a thread that loses the race drops its own object, so one
// object is ever visible.

std::atomic<PyObject*> g_panic{nullptr};
std::atomic<PyTypeObject*> g_container{nullptr};
std::atomic<PyObject*> g_add_note{nullptr};  // the interned name "add_note"

PyObject* add_note_name() {
    PyObject* name = g_add_note.load(std::memory_order_acquire);
    if (name != nullptr) return name;
    PyObject* made = PyUnicode_InternFromString("add_note");
    if (made == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!g_add_note.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

// The NumPy table pointer is written once, under this mutex (no Python code
// runs while it is held), and only read after `g_numpy_ready` is seen set.
std::mutex g_numpy_mutex;
std::atomic<bool> g_numpy_ready{false};

constexpr unsigned int BUILT_ABI_VERSION = 0x2000000;
constexpr unsigned int MIN_FEATURE_VERSION = 0xc;  // NumPy 1.15

// The exception being raised, normalised, as a new reference (and cleared).
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
#endif
}

// "TypeName: value" for the exception currently set, which is cleared.
std::string describe_current_exception() {
    PyObject* value = take_exception();
    std::string text = "unknown error";
    if (value != nullptr) {
        PyObject* name = PyType_GetQualName(Py_TYPE(value));
        PyObject* str = PyObject_Str(value);
        if (name != nullptr) {
            const char* n = PyUnicode_AsUTF8(name);
            if (n != nullptr) text = n;
        }
        if (str != nullptr) {
            const char* s = PyUnicode_AsUTF8(str);
            if (s != nullptr) text += std::string(": ") + s;
        }
        Py_XDECREF(name);
        Py_XDECREF(str);
        PyErr_Clear();
    }
    Py_XDECREF(value);
    return text;
}

// Fetches the C-API table; on failure returns null with an exception set.
void** fetch_numpy_table() {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return nullptr;
    long major = -1;
    {
        PyObject* version = PyObject_GetAttrString(numpy, "__version__");
        PyObject* lib = version ? PyObject_GetAttrString(numpy, "lib") : nullptr;
        PyObject* cls = lib ? PyObject_GetAttrString(lib, "NumpyVersion") : nullptr;
        PyObject* parsed = cls ? PyObject_CallOneArg(cls, version) : nullptr;
        PyObject* major_obj = parsed ? PyObject_GetAttrString(parsed, "major") : nullptr;
        if (major_obj != nullptr) {
            major = PyLong_AsLong(major_obj);
            if (major == -1 && PyErr_Occurred()) {
                major = -2;
            } else if (major < 0 || major > 255) {
                PyErr_SetString(PyExc_OverflowError, "NumPy major version out of range");
                major = -2;
            }
        }
        Py_XDECREF(major_obj);
        Py_XDECREF(parsed);
        Py_XDECREF(cls);
        Py_XDECREF(lib);
        Py_XDECREF(version);
    }
    Py_DECREF(numpy);
    if (major < 0) return nullptr;

    const char* multiarray = major < 2 ? "numpy.core.multiarray" : "numpy._core.multiarray";
    PyObject* module = PyImport_ImportModule(multiarray);
    if (module == nullptr) return nullptr;
    PyObject* capsule = PyObject_GetAttrString(module, "_ARRAY_API");
    Py_DECREF(module);
    if (capsule == nullptr) return nullptr;
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
    Py_DECREF(capsule);  // the table lives as long as NumPy, which stays imported
    if (table == nullptr) return nullptr;

    auto abi_version = reinterpret_cast<unsigned int (*)(void)>(table[0])();
    if (abi_version > BUILT_ABI_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     BUILT_ABI_VERSION, abi_version);
        return nullptr;
    }
    auto feature_version = reinterpret_cast<unsigned int (*)(void)>(table[211])();
    if (feature_version < MIN_FEATURE_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0x%x (NumPy 1.15) but the "
                     "running NumPy has C-API version 0x%x",
                     MIN_FEATURE_VERSION, feature_version);
        return nullptr;
    }
    auto endianness = reinterpret_cast<int (*)(void)>(table[210])();
    if (endianness != NPY_CPU_LITTLE) {
        PyErr_SetString(PyExc_RuntimeError,
                        "module compiled as little endian, but detected different endianness at "
                        "runtime");
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(g_numpy_mutex);
        if (!g_numpy_ready.load(std::memory_order_relaxed)) {
            groundmotion_ARRAY_API = table;
            PyArray_RUNTIME_VERSION = static_cast<int>(feature_version);
            g_numpy_ready.store(true, std::memory_order_release);
        }
    }
    return table;
}

// Makes the NumPy C API usable.  A failure is not remembered: it raises the
// failed-internal-check exception and the next call tries again.
bool ensure_numpy() {
    if (g_numpy_ready.load(std::memory_order_acquire)) return true;
    if (fetch_numpy_table() != nullptr) return true;
    std::string message =
        "Failed to access NumPy array API capsule: " + describe_current_exception();
    raise_panic(message.data(), static_cast<Py_ssize_t>(message.size()));
    return false;
}

// ---------------------------------------------------------------------------
// The owner of a result buffer: the base object of every result array.

struct SliceContainer {
    PyObject_HEAD
    void* buffer;
};

void container_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    std::free(reinterpret_cast<SliceContainer*>(self)->buffer);
    type->tp_free(self);
    Py_DECREF(type);
}

int container_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

PyType_Slot container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(container_traverse)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of a result array.")},
    {0, nullptr},
};

PyType_Spec container_spec = {
    "groundmotion._core.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    container_slots,
};

PyTypeObject* container_type() {
    PyTypeObject* type = g_container.load(std::memory_order_acquire);
    if (type != nullptr) return type;
    PyTypeObject* made = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&container_spec));
    if (made == nullptr) return nullptr;
    PyTypeObject* expected = nullptr;
    if (!g_container.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

// Wraps the kernel's buffer as a writeable NumPy array whose base owns it.
PyObject* wrap(OwnedArray& result) {
    if (!ensure_numpy()) return nullptr;
    npy_intp dims[3];
    npy_intp strides[3];
    const int nd = result.ndim();
    const npy_intp elem = result.dtype() == Dtype::F64 ? sizeof(double) : sizeof(float);
    // NumPy refuses a shape whose extents, zeros left out, multiply past
    // its index range, even for an empty array: that is a request for memory
    // that cannot be met like any other.
    uint64_t span = static_cast<uint64_t>(elem);
    for (int k = 0; k < nd; ++k) {
        const uint64_t extent = result.shape(k);
        if (extent > static_cast<uint64_t>(NPY_MAX_INTP) ||
            (extent != 0 && span > static_cast<uint64_t>(NPY_MAX_INTP) / extent)) {
            PyErr_NoMemory();
            return nullptr;
        }
        if (extent != 0) span *= extent;
        dims[k] = static_cast<npy_intp>(extent);
    }
    npy_intp step = elem;
    for (int k = nd - 1; k >= 0; --k) {
        strides[k] = step;
        if (dims[k] > 0 && step > NPY_MAX_INTP / dims[k]) step = 0;  // empty anyway
        else step *= dims[k] > 0 ? dims[k] : 1;
    }
    PyTypeObject* type = container_type();
    if (type == nullptr) return nullptr;
    PyObject* owner = type->tp_alloc(type, 0);
    if (owner == nullptr) return nullptr;
    void* data = result.release();
    reinterpret_cast<SliceContainer*>(owner)->buffer = data;
    PyArray_Descr* descr = PyArray_DescrFromType(result.dtype() == Dtype::F64 ? NPY_FLOAT64
                                                                              : NPY_FLOAT32);
    if (descr == nullptr) {
        Py_DECREF(owner);
        return nullptr;
    }
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, strides, data,
                                           NPY_ARRAY_WRITEABLE, nullptr);
    if (array == nullptr) {
        Py_DECREF(owner);
        return nullptr;
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner) < 0) {
        Py_DECREF(array);  // the base reference was taken over even on failure
        return nullptr;
    }
    return array;
}

// ---------------------------------------------------------------------------
// Argument binding.

bool bind(const Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
    const Py_ssize_t n = fn.n_params;
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given",
                     fn.name, n, nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr) PyErr_Clear();
        Py_ssize_t match = -1;
        for (Py_ssize_t i = 0; text != nullptr && i < n; ++i) {
            if (param_name(fn, i) == std::string_view(text, static_cast<size_t>(size))) {
                match = i;
                break;
            }
        }
        if (match < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn.name,
                         key);
            return false;
        }
        if (bound[match] != nullptr) {
            const std::string name(param_name(fn, match));
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn.name,
                         name.c_str());
            return false;
        }
        bound[match] = args[nargs + k];
    }
    Py_ssize_t missing[MAX_PARAMS];
    Py_ssize_t n_missing = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (bound[i] == nullptr) missing[n_missing++] = i;
    }
    if (n_missing > 0) {
        std::string names;
        for (Py_ssize_t m = 0; m < n_missing; ++m) {
            if (m > 0) {
                if (n_missing > 2) names += ",";
                names += " ";
                if (m == n_missing - 1) names += "and ";
            }
            names += "'";
            names += param_name(fn, missing[m]);
            names += "'";
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional %s: %s", fn.name,
                     n_missing, n_missing == 1 ? "argument" : "arguments", names.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Conversions.

// Adds "while processing '<name>'" to the exception being raised; if adding
// the note fails the exception is raised without it.
void add_note(std::string_view name) {
    PyObject* value = take_exception();
    if (value == nullptr) return;
    {
        PyObject* method = add_note_name();
        const std::string text = "while processing '" + std::string(name) + "'";
        PyObject* note = method ? PyUnicode_FromStringAndSize(
                                      text.data(), static_cast<Py_ssize_t>(text.size()))
                                : nullptr;
        PyObject* done = note ? PyObject_CallMethodOneArg(value, method, note) : nullptr;
        if (done == nullptr) PyErr_Clear();
        Py_XDECREF(done);
        Py_XDECREF(note);
    }
    restore_exception(value);
}

// Returns a new reference to the array, or null with an exception set.
PyObject* convert_array(PyObject* obj, View2D& view) {
    bool ok = PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == 2;
    if (ok) {
        PyArray_Descr* f64 = PyArray_DescrFromType(NPY_FLOAT64);
        if (f64 == nullptr) return nullptr;
        ok = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)), f64);
        Py_DECREF(f64);
    }
    if (!ok) {
        raise_type_mismatch(obj, "ndarray");
        return nullptr;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    const npy_intp* dims = PyArray_DIMS(arr);
    const npy_intp* strides = PyArray_STRIDES(arr);
    view.data = static_cast<const char*>(PyArray_DATA(arr));
    view.rows = static_cast<uint64_t>(dims[0]);
    view.cols = static_cast<uint64_t>(dims[1]);
    view.stride0 = strides[0];
    view.stride1 = strides[1];
    Py_INCREF(obj);
    return obj;
}

// A list or tuple of 1-D float64 arrays as row views.  Returns a new reference to
// a tuple of the arrays (a tuple cannot change while the kernel reads them),
// or null with an exception set.
PyObject* convert_rows(PyObject* obj, Value& value) {
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
        raise_type_mismatch(obj, "list");
        return nullptr;
    }
    PyObject* items = PySequence_Tuple(obj);
    if (items == nullptr) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(items);
    try {
        value.row_storage.resize(static_cast<size_t>(n));
    } catch (...) {
        Py_DECREF(items);
        PyErr_NoMemory();
        return nullptr;
    }
    PyArray_Descr* f64 = PyArray_DescrFromType(NPY_FLOAT64);
    if (f64 == nullptr) {
        Py_DECREF(items);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items, i);
        auto* arr = reinterpret_cast<PyArrayObject*>(item);
        if (!PyArray_Check(item) || PyArray_NDIM(arr) != 1 ||
            !PyArray_EquivTypes(PyArray_DESCR(arr), f64)) {
            Py_DECREF(f64);
            Py_DECREF(items);
            raise_type_mismatch(item, "ndarray");
            return nullptr;
        }
        value.row_storage[static_cast<size_t>(i)] =
            Row{static_cast<const char*>(PyArray_DATA(arr)),
                static_cast<uint64_t>(PyArray_DIMS(arr)[0]), PyArray_STRIDES(arr)[0]};
    }
    Py_DECREF(f64);
    value.rows = RowList{value.row_storage.data(), static_cast<uint64_t>(n)};
    return items;
}

bool convert_float(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert_uint(PyObject* obj, uint64_t& out) {
    PyObject* index = nullptr;
    if (!PyLong_Check(obj)) {
        index = PyNumber_Index(obj);
        if (index == nullptr) return false;
        obj = index;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    Py_XDECREF(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

enum class Outcome { Done, Panicked, OutOfMemory };

}  // namespace

void raise_type_mismatch(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    PyObject* name = PyType_GetQualName(Py_TYPE(obj));
    if (name == nullptr) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name, expected);
    Py_DECREF(name);
}

namespace {

constexpr const char PANIC_KEY[] = "groundmotion.PanicException";

PyObject* new_panic_exception() {
    return PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when an internal check of the compiled kernels fails.\n\n"
        "It derives from BaseException, not Exception, so that a bare `except Exception`\n"
        "does not swallow it.",
        PyExc_BaseException, nullptr);
}

// The class kept in the interpreter's dictionary, made there on first use;
// a new reference.  Every compiled module of the package carries its own
// copy of this frame, and all of them raise this one class.
PyObject* shared_panic_exception() {
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (shared == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter has no dictionary");
        return nullptr;
    }
    PyObject* key = PyUnicode_InternFromString(PANIC_KEY);
    if (key == nullptr) return nullptr;
    PyObject* found = PyDict_GetItemWithError(shared, key);  // borrowed
    PyObject* cls = nullptr;
    if (found != nullptr) {
        cls = Py_NewRef(found);
    } else if (!PyErr_Occurred()) {
        PyObject* made = new_panic_exception();
        PyObject* kept = made ? PyDict_SetDefault(shared, key, made) : nullptr;  // borrowed
        if (kept != nullptr) cls = Py_NewRef(kept);
        Py_XDECREF(made);
    }
    Py_DECREF(key);
    return cls;
}

}  // namespace

PyObject* panic_exception() {
    PyObject* cls = g_panic.load(std::memory_order_acquire);
    if (cls != nullptr) return cls;
    PyObject* made = shared_panic_exception();
    if (made == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!g_panic.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return expected;
    }
    return made;
}

void raise_panic(const char* message, Py_ssize_t size) {
    PyObject* cls = panic_exception();
    if (cls == nullptr) return;
    PyObject* text = PyUnicode_FromStringAndSize(message, size);
    if (text == nullptr) return;
    PyObject* exc = PyObject_CallOneArg(cls, text);
    Py_DECREF(text);
    if (exc == nullptr) return;
    PyErr_SetObject(cls, exc);
    Py_DECREF(exc);
}

namespace {

// The references to the converted arrays, dropped on every way out.
struct Held {
    PyObject* refs[MAX_PARAMS] = {nullptr, nullptr, nullptr, nullptr};
    ~Held() {
        for (PyObject*& r : refs) Py_CLEAR(r);
    }
};

PyObject* run_call(const Function& fn, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    PyObject* bound[MAX_PARAMS];
    if (!bind(fn, args, nargs, kwnames, bound)) return nullptr;

    Value values[MAX_PARAMS];
    Held held;
    for (Py_ssize_t i = 0; i < fn.n_params; ++i) {
        bool ok = false;
        switch (fn.kinds[i]) {
            case Kind::Array:
                if (!ensure_numpy()) return nullptr;  // a failed internal check: no note
                held.refs[i] = convert_array(bound[i], values[i].view);
                ok = held.refs[i] != nullptr;
                break;
            case Kind::Float:
                ok = convert_float(bound[i], values[i].f);
                break;
            case Kind::UInt:
                ok = convert_uint(bound[i], values[i].u);
                break;
            case Kind::Rows:
                if (!ensure_numpy()) return nullptr;
                held.refs[i] = convert_rows(bound[i], values[i]);
                ok = held.refs[i] != nullptr;
                break;
            case Kind::Bytes:
                if (PyBytes_Check(bound[i])) {
                    Py_INCREF(bound[i]);  // bytes never change: the pointer stays good
                    held.refs[i] = bound[i];
                    values[i].text = Text{PyBytes_AS_STRING(bound[i]),
                                          static_cast<uint64_t>(PyBytes_GET_SIZE(bound[i]))};
                    ok = true;
                } else {
                    raise_type_mismatch(bound[i], "bytes");
                }
                break;
        }
        if (!ok) {
            add_note(param_name(fn, i));
            return nullptr;
        }
    }

    Result result{OwnedArray()};
    Outcome outcome = Outcome::Done;
    std::string message;
    Py_BEGIN_ALLOW_THREADS
    try {
        result = fn.kernel(values);
    } catch (Panic& failure) {
        outcome = Outcome::Panicked;
        message = std::move(failure.message);
    } catch (const std::bad_alloc&) {
        outcome = Outcome::OutOfMemory;
    } catch (const std::length_error&) {
        outcome = Outcome::OutOfMemory;
    } catch (...) {
        outcome = Outcome::Panicked;
        message = "unexpected error inside a kernel";
    }
    Py_END_ALLOW_THREADS

    PyObject* array = nullptr;
    switch (outcome) {
        case Outcome::Done:
            array = result.text != nullptr ? PyUnicode_FromString(result.text)
                                           : wrap(result.array);
            break;
        case Outcome::Panicked:
            raise_panic(message.data(), static_cast<Py_ssize_t>(message.size()));
            break;
        case Outcome::OutOfMemory:
            PyErr_NoMemory();
            break;
    }
    return array;  // the borrows end with `held`
}

}  // namespace

std::string_view param_name(const Function& fn, Py_ssize_t i) {
    std::string_view rest(fn.params);
    for (; i > 0; --i) rest.remove_prefix(rest.find(", ") + 2);
    return rest.substr(0, rest.find(", "));
}

PyObject* call(const Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Messages are built in std::string with the interpreter lock held; an
    // allocation failure there must not unwind into the interpreter.
    try {
        return run_call(fn, args, nargs, kwnames);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    }
}

// ---------------------------------------------------------------------------
// Execution step of a module: its functions, in table order, as attributes
// and in __all__.

namespace {

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    PyObject* fn = PyCMethod_New(def, module, module_name, nullptr);
    if (fn == nullptr) return -1;
    PyObject* name = PyObject_GetAttrString(fn, "__name__");
    if (name == nullptr) {
        Py_DECREF(fn);
        return -1;
    }
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        all = PyList_New(0);
        if (all != nullptr && PyObject_SetAttrString(module, "__all__", all) < 0) Py_CLEAR(all);
    } else if (all != nullptr && !PyList_Check(all)) {
        raise_type_mismatch(all, "list");
        Py_CLEAR(all);
    }
    int status = -1;
    if (all != nullptr && PyList_Append(all, name) == 0 &&
        PyObject_SetAttr(module, name, fn) == 0) {
        status = 0;
    }
    Py_XDECREF(all);
    Py_DECREF(name);
    Py_DECREF(fn);
    return status;
}

}  // namespace

int exec_module(PyObject* module, PyMethodDef* methods) {
    if (!PyModule_Check(module)) {
        raise_type_mismatch(module, "module");
        return -1;
    }
    PyObject* module_name = PyObject_GetAttrString(module, "__name__");
    if (module_name == nullptr) return -1;
    int status = 0;
    for (PyMethodDef* def = methods; def->ml_name != nullptr; ++def) {
        if (add_function(module, module_name, def) < 0) {
            status = -1;
            break;
        }
    }
    Py_DECREF(module_name);
    return status;
}

}  // namespace gm::frame
