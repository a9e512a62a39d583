// The Python module ravick._printer: the .proto source of a file descriptor
// printed natively, its options rendered by a Python callable.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "builtin_options.h"
#include "proto_printer.h"

namespace {

namespace pr = ravick::printer;

constexpr const char* CAPSULE_NAME = "ravick._printer.BuiltinOptions";

constexpr const char* BUILTIN_OPTIONS_DOC =
    "builtin_options(messages, enums, /)\n--\n\n"
    "The fields and enums of descriptor.proto as this runtime knows it, for\n"
    "print_file to render the options that use nothing else.\n\n"
    "messages: (full name, fields) pairs, each field (number, name, type,\n"
    "label, type name without the leading dot, delimited, implicit\n"
    "presence); enums: (full\n"
    "name, values) pairs, each value (number, name), the first of a number\n"
    "kept. Returns an opaque object.";

constexpr const char* PRINT_FILE_DOC =
    "print_file(data, render, builtin=None, /)\n--\n\n"
    "The .proto source of the FileDescriptorProto serialized as `data`, or\n"
    "None for a file the native printer leaves to the Python one (comments,\n"
    "or anything the Python printer would print a note for).\n\n"
    "`data` must be the runtime's serialization of a parsed descriptor.\n"
    "render(type, options) is called for each non-empty options message,\n"
    "with the full name of its type and its bytes, and returns\n"
    "(assignments, note): assignments with `name` (str) and `value` (a\n"
    "tuple of str, one a line), and the whole comment line of what was left\n"
    "out, or None. A callable returning None declines the file; an\n"
    "exception it raises propagates. With `builtin` (from builtin_options),\n"
    "options that use only descriptor.proto's fields are rendered natively.";

// A str as UTF-8; false (no error set) for one that has no UTF-8 form.
bool utf8(PyObject* text, std::string& out) {
  if (!PyUnicode_Check(text)) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  out.assign(data, static_cast<size_t>(size));
  return true;
}

class PyRenderer final : public pr::OptionsRenderer {
 public:
  explicit PyRenderer(PyObject* callable) : callable_(callable) {}

  // Whether the callable raised: its exception is set.
  bool raised() const { return raised_; }

  bool render(std::string_view type, std::string_view data,
              pr::Rendered& out) override {
    PyObject* args[2] = {
        PyUnicode_FromStringAndSize(type.data(),
                                    static_cast<Py_ssize_t>(type.size())),
        PyBytes_FromStringAndSize(data.data(),
                                  static_cast<Py_ssize_t>(data.size()))};
    PyObject* result = nullptr;
    if (args[0] != nullptr && args[1] != nullptr) {
      result = PyObject_Vectorcall(callable_, args, 2, nullptr);
    }
    Py_XDECREF(args[0]);
    Py_XDECREF(args[1]);
    if (result == nullptr) {
      raised_ = true;
      return false;
    }
    const bool ok = take(result, out);
    Py_DECREF(result);
    raised_ = PyErr_Occurred() != nullptr;
    return ok && !raised_;
  }

 private:
  static bool take(PyObject* result, pr::Rendered& out) {
    if (!PyTuple_Check(result) || PyTuple_GET_SIZE(result) != 2) return false;
    PyObject* note = PyTuple_GET_ITEM(result, 1);
    if (note != Py_None && !utf8(note, out.note)) return false;
    PyObject* seq = PySequence_Fast(PyTuple_GET_ITEM(result, 0), "assignments");
    if (seq == nullptr) return false;
    bool ok = true;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    for (Py_ssize_t k = 0; ok && k < n; ++k) {
      out.assignments.emplace_back();
      ok = take_assignment(PySequence_Fast_GET_ITEM(seq, k),
                           out.assignments.back());
    }
    Py_DECREF(seq);
    return ok;
  }

  static bool take_assignment(PyObject* item, pr::Assignment& out) {
    PyObject* name = PyObject_GetAttrString(item, "name");
    PyObject* value =
        name == nullptr ? nullptr : PyObject_GetAttrString(item, "value");
    bool ok = name != nullptr && value != nullptr && utf8(name, out.name) &&
              PyTuple_Check(value) && PyTuple_GET_SIZE(value) > 0;
    for (Py_ssize_t k = 0; ok && k < PyTuple_GET_SIZE(value); ++k) {
      out.value.emplace_back();
      ok = utf8(PyTuple_GET_ITEM(value, k), out.value.back());
    }
    Py_XDECREF(name);
    Py_XDECREF(value);
    return ok;
  }

  PyObject* callable_;
  bool raised_ = false;
};

void free_builtin(PyObject* capsule) {
  delete static_cast<pr::BuiltinOptions*>(
      PyCapsule_GetPointer(capsule, CAPSULE_NAME));
}

// Calls on(item) for each item of the sequence `arg`.
template <class On>
bool each_item(PyObject* arg, const char* what, On&& on) {
  PyObject* seq = PySequence_Fast(arg, what);
  if (seq == nullptr) return false;
  bool ok = true;
  for (Py_ssize_t k = 0; ok && k < PySequence_Fast_GET_SIZE(seq); ++k) {
    ok = on(PySequence_Fast_GET_ITEM(seq, k));
  }
  Py_DECREF(seq);
  return ok;
}

bool bind_message(PyObject* item, pr::BuiltinOptions& out) {
  const char* name = nullptr;
  PyObject* fields = nullptr;
  if (!PyArg_ParseTuple(item, "sO:messages", &name, &fields)) return false;
  auto& by_number = out.messages[name];
  return each_item(fields, "fields must be a sequence", [&](PyObject* f) {
    unsigned int number = 0;
    const char* field_name = nullptr;
    const char* type_name = nullptr;
    int type = 0;
    int label = 0;
    int delimited = 0;
    int implicit = 0;
    if (!PyArg_ParseTuple(f, "Isiispp:fields", &number, &field_name, &type,
                          &label, &type_name, &delimited, &implicit)) {
      return false;
    }
    by_number.emplace(number,
                      pr::OptionField{field_name, type, label, type_name,
                                      delimited != 0, implicit != 0});
    return true;
  });
}

bool bind_enum(PyObject* item, pr::BuiltinOptions& out) {
  const char* name = nullptr;
  PyObject* values = nullptr;
  if (!PyArg_ParseTuple(item, "sO:enums", &name, &values)) return false;
  auto& by_number = out.enums[name];
  return each_item(values, "values must be a sequence", [&](PyObject* v) {
    int number = 0;
    const char* value_name = nullptr;
    if (!PyArg_ParseTuple(v, "is:values", &number, &value_name)) return false;
    by_number.emplace(number, value_name);
    return true;
  });
}

PyObject* builtin_options_impl(PyObject* /*module*/, PyObject* const* args,
                               Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError,
                 "builtin_options() takes 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  auto* builtin = new (std::nothrow) pr::BuiltinOptions;
  if (builtin == nullptr) return PyErr_NoMemory();
  bool ok = false;
  try {
    ok = each_item(args[0], "messages must be a sequence",
                   [&](PyObject* m) { return bind_message(m, *builtin); }) &&
         each_item(args[1], "enums must be a sequence",
                   [&](PyObject* e) { return bind_enum(e, *builtin); });
  } catch (const std::exception&) {
    PyErr_NoMemory();
  }
  if (!ok) {
    delete builtin;
    return nullptr;
  }
  PyObject* capsule = PyCapsule_New(builtin, CAPSULE_NAME, free_builtin);
  if (capsule == nullptr) delete builtin;
  return capsule;
}

PyObject* print_file_impl(PyObject* /*module*/, PyObject* const* args,
                          Py_ssize_t nargs) {
  if (nargs != 2 && nargs != 3) {
    PyErr_Format(PyExc_TypeError,
                 "print_file() takes 2 or 3 arguments (%zd given)", nargs);
    return nullptr;
  }
  const pr::BuiltinOptions* builtin = nullptr;
  if (nargs == 3 && args[2] != Py_None) {
    if (!PyCapsule_IsValid(args[2], CAPSULE_NAME)) {
      PyErr_SetString(PyExc_TypeError,
                      "print_file(): builtin must come from builtin_options()");
      return nullptr;
    }
    builtin = static_cast<const pr::BuiltinOptions*>(
        PyCapsule_GetPointer(args[2], CAPSULE_NAME));
    if (builtin == nullptr) return nullptr;
  }
  if (!PyCallable_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "print_file(): render must be callable");
    return nullptr;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
  // The callable may run any code: print from a copy of the bytes.
  const std::string data(static_cast<const char*>(view.buf),
                         static_cast<size_t>(view.len));
  PyBuffer_Release(&view);
  PyRenderer renderer(args[1]);
  std::optional<std::string> text;
  try {
    text = pr::print_file(data, renderer, builtin);
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
  if (renderer.raised()) return nullptr;
  if (!text) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(text->data(),
                              static_cast<Py_ssize_t>(text->size()), "strict");
}

PyMethodDef methods[] = {
    {"builtin_options",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(builtin_options_impl)),
     METH_FASTCALL, BUILTIN_OPTIONS_DOC},
    {"print_file",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(print_file_impl)),
     METH_FASTCALL, PRINT_FILE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ravick._printer",
    "The .proto source of file descriptors, printed natively.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__printer() { return PyModuleDef_Init(&module_def); }
