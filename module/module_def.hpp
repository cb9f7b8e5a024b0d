// The definition of one compiled module from its table of functions: the
// execution step that adds the functions in table order (and lists them in
// __all__), and the two entry points through which CPython loads it
// (PyModExport_<name> where the interpreter knows that hook, PyInit_<name>
// everywhere).  A module is its table and one GM_MODULE line.
#pragma once

#include <cstddef>
#include <utility>

#include "call_frame.hpp"

namespace gm::frame {

template <const auto& TABLE, size_t I>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(TABLE[I], args, nargs, kwnames);
}

template <const auto& TABLE, size_t... I>
PyMethodDef* method_table(std::index_sequence<I...>) {
    static PyMethodDef defs[] = {
        PyMethodDef{TABLE[I].name,
                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry<TABLE, I>)),
                    METH_FASTCALL | METH_KEYWORDS, TABLE[I].doc}...,
        PyMethodDef{nullptr, nullptr, 0, nullptr},
    };
    return defs;
}

// Adds every function of the null-terminated `methods` to `module`.
int exec_module(PyObject* module, PyMethodDef* methods);

template <const auto& TABLE>
int exec(PyObject* module) {
    constexpr size_t n = sizeof(TABLE) / sizeof(TABLE[0]);
    return exec_module(module, method_table<TABLE>(std::make_index_sequence<n>{}));
}

}  // namespace gm::frame

#if PY_VERSION_HEX >= 0x030F0000
#define GM_MODULE_SLOTS(NAME, DOC, TABLE)                                                \
    namespace {                                                                          \
    PySlot gm_data_slot(uint16_t id, void* value, uint16_t flags = 0) {                  \
        PySlot s{};                                                                      \
        s.sl_id = id;                                                                    \
        s.sl_flags = flags;                                                              \
        s.sl_ptr = value;                                                                \
        return s;                                                                        \
    }                                                                                    \
    PySlot gm_func_slot(uint16_t id, _Py_funcptr_t value) {                              \
        PySlot s{};                                                                      \
        s.sl_id = id;                                                                    \
        s.sl_func = value;                                                               \
        return s;                                                                        \
    }                                                                                    \
    PyABIInfo_VAR(gm_abi_info);                                                          \
    PySlot GM_SLOTS[] = {                                                                \
        gm_func_slot(Py_mod_exec,                                                        \
                     reinterpret_cast<_Py_funcptr_t>(::gm::frame::exec<TABLE>)),         \
        gm_data_slot(Py_mod_gil, Py_MOD_GIL_NOT_USED, PySlot_INTPTR),                    \
        gm_data_slot(Py_mod_name, const_cast<char*>(#NAME), PySlot_STATIC),              \
        gm_data_slot(Py_mod_doc, const_cast<char*>(DOC), PySlot_STATIC),                 \
        gm_data_slot(Py_mod_abi, &gm_abi_info, PySlot_STATIC),                           \
        PySlot{},                                                                        \
    };                                                                                   \
    /* The classic definition refers to the same slot list. */                           \
    PyModuleDef_Slot GM_DEF_SLOTS[] = {                                                  \
        {Py_mod_slots, GM_SLOTS},                                                        \
        {0, nullptr},                                                                    \
    };                                                                                   \
    }                                                                                    \
    extern "C" {                                                                         \
    PyMODEXPORT_FUNC PyModExport_##NAME(void) { return GM_SLOTS; }                       \
    }
#else
#ifdef Py_mod_gil
#define GM_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define GM_GIL_SLOT
#endif
#define GM_MODULE_SLOTS(NAME, DOC, TABLE)                                                \
    namespace {                                                                          \
    PyModuleDef_Slot GM_DEF_SLOTS[] = {                                                  \
        {Py_mod_exec, reinterpret_cast<void*>(::gm::frame::exec<TABLE>)},                \
        GM_GIL_SLOT{0, nullptr},                                                         \
    };                                                                                   \
    }
#endif

#define GM_MODULE(NAME, DOC, TABLE)                                                      \
    GM_MODULE_SLOTS(NAME, DOC, TABLE)                                                    \
    namespace {                                                                          \
    PyModuleDef GM_MODULE_DEF = {                                                        \
        PyModuleDef_HEAD_INIT, #NAME, DOC, 0, nullptr, GM_DEF_SLOTS,                     \
        nullptr, nullptr, nullptr,                                                       \
    };                                                                                   \
    }                                                                                    \
    extern "C" {                                                                         \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&GM_MODULE_DEF); }      \
    }
