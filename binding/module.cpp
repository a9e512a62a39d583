// The Python module ravick_lib: multi-phase initialisation, the scan function
// and the conversion of internal aborts into PanicException.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "helpers/abort.h"
#include "lib.h"

namespace {

constexpr const char* MODULE_DOC = "The Python module definition.";
constexpr const char* SCAN_DOC =
    "scan(buffer)\n--\n\n"
    "Scan a binary buffer for FileDescriptorProto candidates.\n\n"
    "Returns a list of (start, end) byte offsets for each candidate found.";

constexpr const char* SCAN_RANGE_DOC =
    "scan_range(buffer, start=0, end=None)\n--\n\n"
    "Scan the candidates at offsets start..end of any contiguous buffer.\n\n"
    "Like scan, for the candidates in [start, end) only, each scored against\n"
    "the bytes to the end of the buffer, as a scan of the whole buffer takes\n"
    "them when no range it accepted reaches past start. The buffer may be a\n"
    "bytes, bytearray, memoryview or mmap object; the interpreter lock is\n"
    "released while the scan runs.";

// Created on first need, once per process, and never released.
std::atomic<PyObject*> panic_type{nullptr};

PyObject* panic_exception() {
  if (PyObject* t = panic_type.load(std::memory_order_acquire)) return t;
  PyObject* created = PyErr_NewExceptionWithDoc(
      "pyo3_runtime.PanicException",
      "An internal invariant of ravick_lib was broken.", PyExc_BaseException,
      nullptr);
  if (created == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!panic_type.compare_exchange_strong(expected, created,
                                          std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return expected;
  }
  return created;
}

void raise_panic(const std::string& message, const char* file, unsigned line) {
  std::fprintf(stderr, "ravick_lib panicked at %s:%u:\n%s\n", file, line,
               message.c_str());
  std::fflush(stderr);
  PyObject* type = panic_exception();
  if (type == nullptr) return;  // the creation error stays set
  PyErr_SetString(type, message.c_str());
}

int raise_type_error_with_note(PyObject* obj) {
  if (obj == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bytes'");
  } else {
    PyObject* name = PyType_GetName(Py_TYPE(obj));
    if (name == nullptr) return -1;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'bytes'",
                 name);
    Py_DECREF(name);
  }
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* r =
      PyObject_CallMethod(exc, "add_note", "s", "while processing 'buffer'");
  Py_XDECREF(r);
  if (r == nullptr) PyErr_Clear();
  PyErr_SetRaisedException(exc);
  return -1;
}

// Binds the single argument `buffer`; returns a borrowed reference or null
// with a TypeError set.
PyObject* bind_buffer(PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError,
                 "scan() takes 1 positional arguments but %zd were given",
                 nargs);
    return nullptr;
  }
  PyObject* buffer = nargs == 1 ? args[0] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) PyErr_Clear();
    if (text == nullptr || std::string_view(text, size) != "buffer") {
      PyErr_Format(PyExc_TypeError,
                   "scan() got an unexpected keyword argument '%U'", key);
      return nullptr;
    }
    if (buffer != nullptr) {
      PyErr_SetString(PyExc_TypeError,
                      "scan() got multiple values for argument 'buffer'");
      return nullptr;
    }
    buffer = args[nargs + k];
  }
  if (buffer == nullptr) {
    PyErr_SetString(PyExc_TypeError,
                    "scan() missing 1 required positional argument: 'buffer'");
    return nullptr;
  }
  return buffer;
}

PyObject* build_result(const std::vector<ravick::ByteRange>& ranges) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(ranges.size()));
  if (list == nullptr) return nullptr;
  for (size_t k = 0; k < ranges.size(); ++k) {
    PyObject* start = PyLong_FromUnsignedLongLong(ranges[k].start);
    PyObject* end = PyLong_FromUnsignedLongLong(ranges[k].end);
    PyObject* pair = (start && end) ? PyTuple_New(2) : nullptr;
    if (pair == nullptr) {
      Py_XDECREF(start);
      Py_XDECREF(end);
      Py_DECREF(list);
      return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, start);
    PyTuple_SET_ITEM(pair, 1, end);
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), pair);
  }
  return list;
}

PyObject* scan_impl(PyObject* /*unused*/, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) {
  PyObject* buffer = bind_buffer(args, PyVectorcall_NARGS(nargsf), kwnames);
  if (buffer == nullptr) return nullptr;
  if (!PyBytes_Check(buffer)) {
    raise_type_error_with_note(buffer);
    return nullptr;
  }
  Py_INCREF(buffer);
  const char* data = PyBytes_AsString(buffer);
  Py_ssize_t size = PyBytes_Size(buffer);
  std::vector<ravick::ByteRange> ranges;
  try {
    ranges = ravick::scan(
        {reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size)});
  } catch (const vornatrel::helpers::InternalAbort& abort) {
    Py_DECREF(buffer);
    raise_panic(abort.what(), abort.where().file, abort.where().line);
    return nullptr;
  } catch (const std::exception& error) {
    Py_DECREF(buffer);
    raise_panic(error.what(), __FILE__, __LINE__);
    return nullptr;
  } catch (...) {
    Py_DECREF(buffer);
    raise_panic("unknown internal error", __FILE__, __LINE__);
    return nullptr;
  }
  Py_DECREF(buffer);
  PyObject* list = build_result(ranges);
  if (list == nullptr) {
    PyErr_WriteUnraisable(nullptr);
    raise_panic("failed to build the result list", __FILE__, __LINE__);
  }
  return list;
}

// What an abort inside the scan left, to raise once the lock is held again.
struct Failure {
  std::string message;
  const char* file = __FILE__;
  unsigned line = __LINE__;
};

std::optional<Failure> run_scan_range(ravick::Bytes bytes, uint64_t start,
                                      uint64_t end,
                                      std::vector<ravick::ByteRange>& ranges) {
  try {
    ranges = ravick::scan_range(bytes, start, end);
  } catch (const vornatrel::helpers::InternalAbort& abort) {
    return Failure{abort.what(), abort.where().file, abort.where().line};
  } catch (const std::exception& error) {
    return Failure{error.what(), __FILE__, __LINE__};
  } catch (...) {
    return Failure{"unknown internal error", __FILE__, __LINE__};
  }
  return std::nullopt;
}

// The end argument: None for the buffer's end, else an offset within it.
bool bind_end(PyObject* arg, Py_ssize_t size, Py_ssize_t& end) {
  if (arg == nullptr || arg == Py_None) {
    end = size;
    return true;
  }
  end = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
  return !(end == -1 && PyErr_Occurred());
}

PyObject* scan_range_impl(PyObject* /*unused*/, PyObject* args,
                          PyObject* kwargs) {
  static const char* keywords[] = {"buffer", "start", "end", nullptr};
  PyObject* buffer = nullptr;
  Py_ssize_t start = 0;
  PyObject* end_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|nO:scan_range",
                                   const_cast<char**>(keywords), &buffer,
                                   &start, &end_arg)) {
    return nullptr;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(buffer, &view, PyBUF_SIMPLE) < 0) return nullptr;
  Py_ssize_t end = 0;
  if (!bind_end(end_arg, view.len, end)) {
    PyBuffer_Release(&view);
    return nullptr;
  }
  if (start < 0 || start > end || end > view.len) {
    PyErr_Format(PyExc_ValueError,
                 "scan_range(): need 0 <= start <= end <= %zd, got %zd, %zd",
                 view.len, start, end);
    PyBuffer_Release(&view);
    return nullptr;
  }
  ravick::Bytes bytes{static_cast<const uint8_t*>(view.buf),
                      static_cast<size_t>(view.len)};
  std::vector<ravick::ByteRange> ranges;
  std::optional<Failure> failure;
  Py_BEGIN_ALLOW_THREADS failure = run_scan_range(
      bytes, static_cast<uint64_t>(start), static_cast<uint64_t>(end), ranges);
  Py_END_ALLOW_THREADS PyBuffer_Release(&view);
  if (failure) {
    raise_panic(failure->message, failure->file, failure->line);
    return nullptr;
  }
  PyObject* list = build_result(ranges);
  if (list == nullptr) {
    PyErr_WriteUnraisable(nullptr);
    raise_panic("failed to build the result list", __FILE__, __LINE__);
  }
  return list;
}

PyMethodDef scan_range_def = {
    "scan_range",
    reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(scan_range_impl)),
    METH_VARARGS | METH_KEYWORDS | METH_STATIC,
    SCAN_RANGE_DOC,
};

PyMethodDef scan_def = {
    "scan",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_impl)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    SCAN_DOC,
};

int add_to_all(PyObject* module, PyObject* name) {
  PyObject* all = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return -1;
  if (all == nullptr) {
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  }
  int rc = PyList_Check(all) ? PyList_Append(all, name) : -1;
  if (rc < 0 && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
  }
  Py_DECREF(all);
  return rc;
}

// Adds a function to the module (and to __all__ when `exported`).
int add_function(PyObject* module, PyMethodDef* def, bool exported) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return -1;
  PyObject* func = PyCMethod_New(def, nullptr, module_name, nullptr);
  Py_DECREF(module_name);
  if (func == nullptr) return -1;
  PyObject* name = PyObject_GetAttrString(func, "__name__");
  int rc = -1;
  if (name != nullptr && (!exported || add_to_all(module, name) == 0) &&
      PyObject_SetAttr(module, name, func) == 0) {
    rc = 0;
  }
  Py_XDECREF(name);
  Py_DECREF(func);
  return rc;
}

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "expected a module object");
    return -1;
  }
  if (add_function(module, &scan_def, true) < 0) return -1;
  return add_function(module, &scan_range_def, false);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ravick_lib", MODULE_DOC, 0,       nullptr,
    module_slots,          nullptr,      nullptr,    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_ravick_lib() { return PyModuleDef_Init(&module_def); }
