// The Python module ravick._signatures: one pass over a buffer for the
// signatures of the containers and compressed streams the finder opens.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <vector>

#include "signatures.h"

namespace {

namespace sig = ravick::signatures;

constexpr const char* FIND_DOC =
    "find(buffer, max_hits, start=0, end=None)\n--\n\n"
    "Every container or stream signature in a buffer, in offset order.\n\n"
    "Returns (hits, dropped): hits a list of (offset, kind) pairs, kind an\n"
    "index into KINDS; at most max_hits of each kind are kept, and dropped\n"
    "counts, per kind, the hits left out past that. With start and end,\n"
    "only signatures at offsets start..end, each checked against the bytes\n"
    "to the buffer's end. The interpreter lock is released meanwhile.";

PyObject* build_hits(const std::vector<sig::Hit>& hits) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(hits.size()));
  if (list == nullptr) return nullptr;
  for (size_t k = 0; k < hits.size(); ++k) {
    PyObject* pair =
        Py_BuildValue("(KB)", static_cast<unsigned long long>(hits[k].offset),
                      static_cast<unsigned char>(hits[k].kind));
    if (pair == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), pair);
  }
  return list;
}

PyObject* build_dropped(const uint64_t* dropped) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(sig::KIND_COUNT));
  if (tuple == nullptr) return nullptr;
  for (size_t k = 0; k < sig::KIND_COUNT; ++k) {
    PyObject* n = PyLong_FromUnsignedLongLong(dropped[k]);
    if (n == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(k), n);
  }
  return tuple;
}

// One optional offset argument: absent or None gives `fallback`.
bool bind_offset(PyObject* arg, Py_ssize_t fallback, Py_ssize_t& out) {
  if (arg == nullptr || arg == Py_None) {
    out = fallback;
    return true;
  }
  out = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
  return !(out == -1 && PyErr_Occurred());
}

PyObject* find_impl(PyObject* /*module*/, PyObject* const* args,
                    Py_ssize_t nargs) {
  if (nargs < 2 || nargs > 4) {
    PyErr_Format(PyExc_TypeError, "find() takes 2 to 4 arguments (%zd given)",
                 nargs);
    return nullptr;
  }
  Py_ssize_t max_hits = PyLong_AsSsize_t(args[1]);
  if (max_hits == -1 && PyErr_Occurred()) return nullptr;
  if (max_hits < 0) {
    PyErr_SetString(PyExc_ValueError, "max_hits must not be negative");
    return nullptr;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
  Py_ssize_t start = 0;
  Py_ssize_t end = 0;
  if (!bind_offset(nargs > 2 ? args[2] : nullptr, 0, start) ||
      !bind_offset(nargs > 3 ? args[3] : nullptr, view.len, end)) {
    PyBuffer_Release(&view);
    return nullptr;
  }
  if (start < 0 || start > end || end > view.len) {
    PyErr_Format(PyExc_ValueError,
                 "find(): need 0 <= start <= end <= %zd, got %zd, %zd",
                 view.len, start, end);
    PyBuffer_Release(&view);
    return nullptr;
  }
  std::vector<sig::Hit> hits;
  uint64_t dropped[sig::KIND_COUNT] = {};
  bool failed = false;
  Py_BEGIN_ALLOW_THREADS;
  try {
    hits = sig::find_range(
        {static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)},
        static_cast<size_t>(start), static_cast<size_t>(end),
        static_cast<size_t>(max_hits), dropped);
  } catch (const std::exception&) {
    failed = true;
  }
  Py_END_ALLOW_THREADS;
  PyBuffer_Release(&view);
  if (failed) return PyErr_NoMemory();
  PyObject* list = build_hits(hits);
  if (list == nullptr) return nullptr;
  PyObject* counts = build_dropped(dropped);
  if (counts == nullptr) {
    Py_DECREF(list);
    return nullptr;
  }
  return Py_BuildValue("(NN)", list, counts);
}

PyMethodDef methods[] = {
    {"find",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_impl)),
     METH_FASTCALL, FIND_DOC},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
  PyObject* kinds = PyTuple_New(static_cast<Py_ssize_t>(sig::KIND_COUNT));
  if (kinds == nullptr) return -1;
  for (size_t k = 0; k < sig::KIND_COUNT; ++k) {
    PyObject* name = PyUnicode_FromString(sig::KIND_NAMES[k]);
    if (name == nullptr) {
      Py_DECREF(kinds);
      return -1;
    }
    PyTuple_SET_ITEM(kinds, static_cast<Py_ssize_t>(k), name);
  }
  return PyModule_Add(module, "KINDS", kinds);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ravick._signatures",
    "Signatures of containers and compressed streams, found in one pass.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__signatures() { return PyModuleDef_Init(&module_def); }
