// The module surface: the function table, the execution step that adds the
// functions to the module, and the two entry points through which CPython
// loads it (PyModExport__core where the interpreter knows that hook,
// PyInit__core everywhere).

#include "call_frame.hpp"

#include "arias_intensity.hpp"
#include "cav.hpp"
#include "konno_ohmachi.hpp"
#include "psa.hpp"
#include "rotd.hpp"
#include "significant_duration.hpp"

namespace {

using gm::frame::Function;
using gm::frame::Kind;
using gm::frame::Param;
using gm::frame::Value;

// ---------------------------------------------------------------------------
// Parameter lists and kernel adapters.

constexpr Param WAVEFORMS_DT[] = {{"waveforms_py", Kind::Array}, {"dt", Kind::Float}};
constexpr Param MATRIX_ROWS[] = {{"n_bins", Kind::UInt},
                                 {"bandwidth", Kind::Float},
                                 {"start", Kind::UInt},
                                 {"stop", Kind::UInt}};
constexpr Param SMOOTH[] = {{"spectra_py", Kind::Array}, {"bandwidth", Kind::Float}};
constexpr Param PSA[] = {{"comp_0_py", Kind::Array},
                         {"comp_90_py", Kind::Array},
                         {"comp_ver_py", Kind::Array},
                         {"coefficients_py", Kind::Array}};
constexpr Param ROTD[] = {{"comp_0_py", Kind::Array}, {"comp_90_py", Kind::Array}};
constexpr Param DURATION[] = {{"waveforms_py", Kind::Array},
                              {"dt", Kind::Float},
                              {"low", Kind::Float},
                              {"high", Kind::Float}};

gm::OwnedArray run_arias_intensity(const Value* a) { return gm::arias_intensity(a[0].view, a[1].f); }
gm::OwnedArray run_cav(const Value* a) { return gm::cav(a[0].view, a[1].f); }
gm::OwnedArray run_matrix_rows(const Value* a) {
    return gm::matrix_rows(a[0].u, a[2].u, a[3].u, a[1].f);
}
gm::OwnedArray run_smooth(const Value* a) { return gm::smooth(a[0].view, a[1].f); }
gm::OwnedArray run_psa(const Value* a) {
    return gm::psa(a[0].view, a[1].view, a[2].view, a[3].view);
}
gm::OwnedArray run_rotd(const Value* a) { return gm::rotd(a[0].view, a[1].view); }
gm::OwnedArray run_significant_duration(const Value* a) {
    return gm::significant_duration(a[0].view, a[1].f, a[2].f, a[3].f);
}

template <size_t N>
constexpr Function function(const char* name, const Param (&params)[N], gm::frame::Kernel k) {
    static_assert(N <= gm::frame::MAX_PARAMS);
    return Function{name, params, static_cast<Py_ssize_t>(N), k};
}

// The function table, in the order in which the functions are added to the
// module (and listed in __all__).
const Function FUNCTIONS[] = {
    function("_arias_intensity", WAVEFORMS_DT, run_arias_intensity),
    function("_cav", WAVEFORMS_DT, run_cav),
    function("_konno_ohmachi_matrix_rows", MATRIX_ROWS, run_matrix_rows),
    function("_konno_ohmachi_smooth", SMOOTH, run_smooth),
    function("_psa", PSA, run_psa),
    function("_rotd", ROTD, run_rotd),
    function("_significant_duration", DURATION, run_significant_duration),
};
constexpr size_t N_FUNCTIONS = sizeof(FUNCTIONS) / sizeof(FUNCTIONS[0]);

template <size_t I>
PyObject* adapter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return gm::frame::call(FUNCTIONS[I], args, nargs, kwnames);
}

template <size_t I>
constexpr PyMethodDef method(const char* doc) {
    return PyMethodDef{FUNCTIONS[I].name,
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(adapter<I>)),
                       METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef METHODS[] = {
    method<0>("_arias_intensity(waveforms_py, dt)\n--\n\n"),
    method<1>("_cav(waveforms_py, dt)\n--\n\n"),
    method<2>("_konno_ohmachi_matrix_rows(n_bins, bandwidth, start, stop)\n--\n\n"
              "Rows `start..stop` of the Konno-Ohmachi smoothing matrix.\n\n"
              "Returns a `(stop - start, n_bins)` row-major `float32` array. Row `c` is\n"
              "the set of weights that produce output bin `c` and sums to one."),
    method<3>("_konno_ohmachi_smooth(spectra_py, bandwidth)\n--\n\n"
              "Konno-Ohmachi smoothing of `(n_spectra, n_bins)` spectra, matrix-free."),
    method<4>("_psa(comp_0_py, comp_90_py, comp_ver_py, coefficients_py)\n--\n\n"
              "Pseudo-spectral acceleration statistics for every station and period.\n\n"
              "The three components have shape `(ns, nt)` and `coefficients` has\n"
              "shape `(n_periods, 8)`, one oscillator per row as documented on\n"
              "[`psa::N_COEFFICIENTS`]. Returns an `(ns, n_periods, 9)` array whose last "
              "axis is laid out as\n"
              "`ROTD_COMPONENTS`: the 000, 090, vertical and geometric mean peaks,\n"
              "then the five columns [`_rotd`] returns."),
    method<5>("_rotd(comp_0_py, comp_90_py)\n--\n\n"
              "RotD statistics of every `(comp_0, comp_90)` pair.\n\n"
              "Returns an `(ns, 5)` array: RotD00, RotD50 and RotD100, then the\n"
              "orientation in degrees at which RotD00 and RotD100 occur."),
    method<6>("_significant_duration(waveforms_py, dt, low, high)\n--\n\n"),
};
static_assert(sizeof(METHODS) / sizeof(METHODS[0]) == N_FUNCTIONS);

// ---------------------------------------------------------------------------
// Execution step.

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
        gm::frame::raise_type_mismatch(all, "list");
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

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        gm::frame::raise_type_mismatch(module, "module");
        return -1;
    }
    PyObject* module_name = PyObject_GetAttrString(module, "__name__");
    if (module_name == nullptr) return -1;
    int status = 0;
    for (PyMethodDef& def : METHODS) {
        if (add_function(module, module_name, &def) < 0) {
            status = -1;
            break;
        }
    }
    Py_DECREF(module_name);
    return status;
}

// ---------------------------------------------------------------------------
// Module definition and entry points.

const char MODULE_DOC[] =
    "Compiled kernels of groundmotion.\n"
    "Every function is named after its measure with a leading underscore;\n"
    "array parameters end in `_py`, number parameters do not.";

#if PY_VERSION_HEX >= 0x030F0000
#define GM_HAVE_MODEXPORT 1

PySlot data_slot(uint16_t id, void* value, uint16_t flags = 0) {
    PySlot s{};
    s.sl_id = id;
    s.sl_flags = flags;
    s.sl_ptr = value;
    return s;
}

PySlot func_slot(uint16_t id, _Py_funcptr_t value) {
    PySlot s{};
    s.sl_id = id;
    s.sl_func = value;
    return s;
}

PyABIInfo_VAR(abi_info);

PySlot SLOTS[] = {
    func_slot(Py_mod_exec, reinterpret_cast<_Py_funcptr_t>(exec_module)),
    data_slot(Py_mod_gil, Py_MOD_GIL_NOT_USED, PySlot_INTPTR),
    data_slot(Py_mod_name, const_cast<char*>("_core"), PySlot_STATIC),
    data_slot(Py_mod_doc, const_cast<char*>(MODULE_DOC), PySlot_STATIC),
    data_slot(Py_mod_abi, &abi_info, PySlot_STATIC),
    PySlot{},
};

// The classic definition refers to the same slot list.
PyModuleDef_Slot DEF_SLOTS[] = {
    {Py_mod_slots, SLOTS},
    {0, nullptr},
};
#else
PyModuleDef_Slot DEF_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};
#endif

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_core",
    MODULE_DOC,
    0,
    nullptr,
    DEF_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

#ifdef GM_HAVE_MODEXPORT
extern "C" PyMODEXPORT_FUNC PyModExport__core(void) { return SLOTS; }
#endif

extern "C" PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&MODULE_DEF); }
