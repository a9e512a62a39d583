// The Python module ravick._printer: the .proto source of a file descriptor
// printed natively, its options rendered by a Python callable.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "file_facts.h"
#include "proto_printer.h"
#include "symbol_index.h"

namespace {

namespace pr = ravick::printer;

constexpr const char* CAPSULE_NAME = "ravick._printer.SymbolIndex";

constexpr const char* INDEX_DOC =
    "index(files, /)\n--\n\n"
    "The names that the serialized FileDescriptorProtos `files` define, for\n"
    "print_file. Returns an opaque object; raises ValueError when a file's\n"
    "bytes are malformed.";

constexpr const char* PRINT_FILE_DOC =
    "print_file(data, render, builtin=None, files=None, /)\n--\n\n"
    "The .proto source of the FileDescriptorProto serialized as `data`, or\n"
    "None for a file the native printer leaves to the Python one (comments,\n"
    "or anything the Python printer would print a note for).\n\n"
    "`data` must be the runtime's serialization of a parsed descriptor.\n"
    "render(type, options) is called for each non-empty options message,\n"
    "with the full name of its type and its bytes, and returns\n"
    "(assignments, note): assignments with `name` (str) and `value` (a\n"
    "tuple of str, one a line), and the whole comment line of what was left\n"
    "out, or None. A callable returning None declines the file; an\n"
    "exception it raises propagates. With `builtin` (the index of\n"
    "descriptor.proto), options are rendered natively where they can be,\n"
    "custom options with `files` (the index of the run's files).";

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

// A capsule's index, and (as its context) the capsule of the index it
// reads, kept alive as long as it is.
void free_index(PyObject* capsule) {
  delete static_cast<pr::SymbolIndex*>(
      PyCapsule_GetPointer(capsule, CAPSULE_NAME));
  Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetContext(capsule)));
}

PyObject* index_impl(PyObject* /*module*/, PyObject* arg) {
  PyObject* seq = PySequence_Fast(arg, "index(): files must be a sequence");
  if (seq == nullptr) return nullptr;
  std::vector<std::string> files;
  bool ok = true;
  try {
    for (Py_ssize_t k = 0; ok && k < PySequence_Fast_GET_SIZE(seq); ++k) {
      Py_buffer view;
      ok = PyObject_GetBuffer(PySequence_Fast_GET_ITEM(seq, k), &view,
                              PyBUF_SIMPLE) == 0;
      if (!ok) break;
      files.emplace_back(static_cast<const char*>(view.buf),
                         static_cast<size_t>(view.len));
      PyBuffer_Release(&view);
    }
  } catch (const std::exception&) {
    Py_DECREF(seq);
    return PyErr_NoMemory();
  }
  Py_DECREF(seq);
  if (!ok) return nullptr;
  std::unique_ptr<pr::SymbolIndex> index;
  try {
    index = pr::SymbolIndex::build(files);
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
  if (index == nullptr) {
    PyErr_SetString(PyExc_ValueError, "index(): a file's bytes are malformed");
    return nullptr;
  }
  PyObject* capsule = PyCapsule_New(index.get(), CAPSULE_NAME, free_index);
  if (capsule != nullptr) index.release();
  return capsule;
}

constexpr const char* REPLACING_DOC =
    "replacing(base, file, /)\n--\n\n"
    "The index `base` (from index() or replacing()) with the serialized\n"
    "FileDescriptorProto `file` in place of the files of its name, its\n"
    "definitions first. It reads `base` instead of indexing its files\n"
    "again. Raises ValueError when the file's bytes are malformed.";

PyObject* replacing_impl(PyObject* /*module*/, PyObject* const* args,
                         Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "replacing() takes 2 arguments (%zd given)",
                 nargs);
    return nullptr;
  }
  if (!PyCapsule_IsValid(args[0], CAPSULE_NAME)) {
    PyErr_SetString(PyExc_TypeError,
                    "replacing(): base must come from index()");
    return nullptr;
  }
  const auto* base = static_cast<const pr::SymbolIndex*>(
      PyCapsule_GetPointer(args[0], CAPSULE_NAME));
  Py_buffer view;
  if (PyObject_GetBuffer(args[1], &view, PyBUF_SIMPLE) < 0) return nullptr;
  std::unique_ptr<pr::SymbolIndex> index;
  try {
    index = pr::SymbolIndex::replacing(
        *base, std::string(static_cast<const char*>(view.buf),
                           static_cast<size_t>(view.len)));
  } catch (const std::exception&) {
    PyBuffer_Release(&view);
    return PyErr_NoMemory();
  }
  PyBuffer_Release(&view);
  if (index == nullptr) {
    PyErr_SetString(PyExc_ValueError,
                    "replacing(): the file's bytes are malformed");
    return nullptr;
  }
  PyObject* capsule = PyCapsule_New(index.get(), CAPSULE_NAME, free_index);
  if (capsule == nullptr) return nullptr;
  index.release();
  Py_INCREF(args[0]);
  if (PyCapsule_SetContext(capsule, args[0]) != 0) {
    Py_DECREF(args[0]);
    Py_DECREF(capsule);
    return nullptr;
  }
  return capsule;
}

constexpr const char* FILE_FACTS_DOC =
    "file_facts(data, builtin, /)\n--\n\n"
    "What the FileDescriptorProto serialized as `data` defines and which\n"
    "custom options it sets, or None for malformed bytes or names that are\n"
    "not UTF-8. Returns (names, packages, extension_numbers, option_uses,\n"
    "references):\n"
    "full names (messages, fields, oneofs, enums, enum values, services,\n"
    "methods, extensions; may repeat), the package and its enclosing ones,\n"
    "(extendee, number) of each extension, and (options type, number, wire\n"
    "types, repeated) of each field an options message sets that\n"
    "descriptor.proto (`builtin`, from index()) does not define, in the\n"
    "order first met, and (full name, \"message\", \"enum\" or \"extendee\",\n"
    "enum default) of each type it names with a leading dot.";

PyObject* text(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()),
                              "strict");
}

template <class T, class Make>
PyObject* list_of(const std::vector<T>& items, Make make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return nullptr;
  for (size_t k = 0; k < items.size(); ++k) {
    PyObject* item = make(items[k]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), item);
  }
  return list;
}

PyObject* wire_types(uint8_t bits) {
  std::vector<int> wires;
  for (int w = 0; w < 8; ++w) {
    if (bits & (1u << w)) wires.push_back(w);
  }
  return list_of(wires, [](int w) { return PyLong_FromLong(w); });
}

PyObject* facts_tuple(const pr::FileFacts& facts) {
  // Each list only while none has failed: no call with an error set.
  PyObject* names = list_of(facts.names, text);
  PyObject* packages =
      names == nullptr ? nullptr : list_of(facts.packages, text);
  PyObject* numbers =
      packages == nullptr
          ? nullptr
          : list_of(facts.extension_numbers, [](const pr::ExtensionNumber& n) {
              return Py_BuildValue("(Ni)", text(n.extendee), n.number);
            });
  PyObject* uses =
      numbers == nullptr
          ? nullptr
          : list_of(facts.option_uses, [](const pr::OptionUse& u) {
              return Py_BuildValue("(sKNO)", u.options_type.c_str(),
                                   static_cast<unsigned long long>(u.number),
                                   wire_types(u.wire_types),
                                   u.repeated ? Py_True : Py_False);
            });
  PyObject* references =
      uses == nullptr
          ? nullptr
          : list_of(facts.references, [](const pr::Reference& r) {
              static const char* const KINDS[] = {"message", "enum",
                                                  "extendee"};
              PyObject* name = text(r.name);
              if (name == nullptr) return name;
              PyObject* enum_default = text(r.enum_default);
              if (enum_default == nullptr) {
                Py_DECREF(name);
                return enum_default;
              }
              return Py_BuildValue("(NsN)", name, KINDS[r.kind], enum_default);
            });
  if (references == nullptr) {
    Py_XDECREF(names);
    Py_XDECREF(packages);
    Py_XDECREF(numbers);
    Py_XDECREF(uses);
    return nullptr;
  }
  return Py_BuildValue("(NNNNN)", names, packages, numbers, uses, references);
}

PyObject* file_facts_impl(PyObject* /*module*/, PyObject* const* args,
                          Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "file_facts() takes 2 arguments (%zd given)",
                 nargs);
    return nullptr;
  }
  if (!PyCapsule_IsValid(args[1], CAPSULE_NAME)) {
    PyErr_SetString(PyExc_TypeError,
                    "file_facts(): builtin must come from index()");
    return nullptr;
  }
  const auto* builtin = static_cast<const pr::SymbolIndex*>(
      PyCapsule_GetPointer(args[1], CAPSULE_NAME));
  Py_buffer view;
  if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
  std::optional<pr::FileFacts> facts;
  try {
    facts = pr::file_facts(
        {static_cast<const char*>(view.buf), static_cast<size_t>(view.len)},
        *builtin);
  } catch (const std::exception&) {
    PyBuffer_Release(&view);
    return PyErr_NoMemory();
  }
  PyBuffer_Release(&view);
  if (!facts) Py_RETURN_NONE;
  PyObject* result = facts_tuple(*facts);
  if (result == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return result;
}

// The index of a capsule argument: false (error set) for another object.
bool bind_index(PyObject* arg, const pr::SymbolIndex** out) {
  if (arg == Py_None) return true;
  if (!PyCapsule_IsValid(arg, CAPSULE_NAME)) {
    PyErr_SetString(PyExc_TypeError,
                    "print_file(): an index must come from index()");
    return false;
  }
  *out = static_cast<const pr::SymbolIndex*>(
      PyCapsule_GetPointer(arg, CAPSULE_NAME));
  return *out != nullptr;
}

PyObject* print_file_impl(PyObject* /*module*/, PyObject* const* args,
                          Py_ssize_t nargs) {
  if (nargs < 2 || nargs > 4) {
    PyErr_Format(PyExc_TypeError,
                 "print_file() takes 2 to 4 arguments (%zd given)", nargs);
    return nullptr;
  }
  const pr::SymbolIndex* builtin = nullptr;
  const pr::SymbolIndex* files = nullptr;
  if ((nargs > 2 && !bind_index(args[2], &builtin)) ||
      (nargs > 3 && !bind_index(args[3], &files))) {
    return nullptr;
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
    text = pr::print_file(data, renderer, builtin, files);
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
  if (renderer.raised()) return nullptr;
  if (!text) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(text->data(),
                              static_cast<Py_ssize_t>(text->size()), "strict");
}

PyMethodDef methods[] = {
    {"index", index_impl, METH_O, INDEX_DOC},
    {"file_facts",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(file_facts_impl)),
     METH_FASTCALL, FILE_FACTS_DOC},
    {"replacing",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(replacing_impl)),
     METH_FASTCALL, REPLACING_DOC},
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
