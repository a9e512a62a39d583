// The Python module ravick._plain: the plain finds of a scan framed and
// grouped by their bytes in one call, for inputs that hold them by the
// hundred thousand.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framing.h"

namespace {

constexpr const char* FRAME_DOC =
    "frame(buffer, ranges, /)\n--\n\n"
    "A scan's ranges in a buffer with framed ends, grouped by their bytes.\n\n"
    "Returns (starts, ends, in_set, ids, firsts): the framed ranges as\n"
    "columns (starts and ends 64-bit, in_set one byte each, ids 32-bit, all\n"
    "in native byte order), ids numbering equal bytes from 0 in order of\n"
    "first appearance, and firsts the index of each number's first range.\n"
    "The interpreter lock is released meanwhile.";

template <typename T>
PyObject* column(const std::vector<T>& values) {
  return PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(values.data()),
      static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

// The (start, end) pairs of `arg`, each within a buffer of `size` bytes.
bool bind_ranges(PyObject* arg, Py_ssize_t size,
                 std::vector<ravick::ByteRange>& out) {
  PyObject* seq = PySequence_Fast(arg, "ranges must be a sequence");
  if (seq == nullptr) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  out.reserve(static_cast<size_t>(n));
  bool ok = true;
  for (Py_ssize_t k = 0; ok && k < n; ++k) {
    Py_ssize_t start = 0;
    Py_ssize_t end = 0;
    ok = PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq, k), "nn:ranges", &start,
                          &end) != 0;
    if (ok && !(0 <= start && start <= end && end <= size)) {
      PyErr_Format(PyExc_ValueError,
                   "frame(): need 0 <= start <= end <= %zd, got %zd, %zd", size,
                   start, end);
      ok = false;
    }
    if (ok) {
      out.push_back({static_cast<uint64_t>(start), static_cast<uint64_t>(end)});
    }
  }
  Py_DECREF(seq);
  return ok;
}

struct Framed {
  std::vector<int64_t> starts;
  std::vector<int64_t> ends;
  std::vector<uint8_t> in_set;
  ravick::Grouped grouped;
};

std::optional<std::string> run_frame(ravick::Bytes buf,
                                     const std::vector<ravick::ByteRange>& in,
                                     Framed& out) {
  try {
    auto framed = ravick::frame(buf, in);
    out.grouped = ravick::group_equal(buf, framed);
    out.starts.reserve(framed.size());
    out.ends.reserve(framed.size());
    out.in_set.reserve(framed.size());
    for (const auto& r : framed) {
      out.starts.push_back(static_cast<int64_t>(r.start));
      out.ends.push_back(static_cast<int64_t>(r.end));
      out.in_set.push_back(r.in_set ? 1 : 0);
    }
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown internal error";
  }
  return std::nullopt;
}

PyObject* build_firsts(const std::vector<uint64_t>& firsts) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(firsts.size()));
  if (list == nullptr) return nullptr;
  for (size_t k = 0; k < firsts.size(); ++k) {
    PyObject* n = PyLong_FromUnsignedLongLong(firsts[k]);
    if (n == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), n);
  }
  return list;
}

PyObject* frame_impl(PyObject* /*module*/, PyObject* const* args,
                     Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "frame() takes 2 arguments (%zd given)",
                 nargs);
    return nullptr;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
  std::vector<ravick::ByteRange> ranges;
  bool bound = false;
  try {
    bound = bind_ranges(args[1], view.len, ranges);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  if (!bound) {
    PyBuffer_Release(&view);
    return nullptr;
  }
  Framed framed;
  std::optional<std::string> failure;
  Py_BEGIN_ALLOW_THREADS;
  failure = run_frame(
      {static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)},
      ranges, framed);
  Py_END_ALLOW_THREADS;
  PyBuffer_Release(&view);
  if (failure) {
    PyErr_SetString(PyExc_RuntimeError, failure->c_str());
    return nullptr;
  }
  return Py_BuildValue("(NNNNN)", column(framed.starts), column(framed.ends),
                       column(framed.in_set), column(framed.grouped.ids),
                       build_firsts(framed.grouped.firsts));
}

constexpr const char* JOIN_DOC =
    "join(starts, ends, in_set, ids, rests, head, mid, sep, hex, at, stop, /)\n"
    "--\n\n"
    "The text of the finds at..stop of frame()'s columns, as bytes.\n\n"
    "Each find is head, its start (in hex with 0x when hex), then mid and\n"
    "its end unless mid is None, then rests[in_set][id]; finds whose rest is\n"
    "None are left out, and the others are joined by sep.";

// A column of `T` values in a buffer, its length checked against `count`.
template <typename T>
struct Column {
  Py_buffer view{};
  bool held = false;
  ~Column() {
    if (held) PyBuffer_Release(&view);
  }
  bool bind(PyObject* arg, Py_ssize_t& count) {
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return false;
    held = true;
    const Py_ssize_t n = view.len / static_cast<Py_ssize_t>(sizeof(T));
    if (view.len % static_cast<Py_ssize_t>(sizeof(T)) != 0 ||
        (count >= 0 && n != count)) {
      PyErr_SetString(PyExc_ValueError, "join(): columns of unequal lengths");
      return false;
    }
    count = n;
    return true;
  }
  T at(Py_ssize_t k) const {
    T value;
    std::memcpy(&value, static_cast<const char*>(view.buf) + k * sizeof(T),
                sizeof(T));
    return value;
  }
};

// rests[m] for m in 0, 1: each a sequence of bytes or None, one per id.
bool bind_rests(PyObject* arg, std::vector<std::string_view> rests[2],
                std::vector<bool> present[2], PyObject* holders[2]) {
  PyObject* outer = PySequence_Fast(arg, "rests must be a sequence");
  if (outer == nullptr) return false;
  bool ok = PySequence_Fast_GET_SIZE(outer) == 2;
  if (!ok) PyErr_SetString(PyExc_ValueError, "join(): rests must be a pair");
  for (int m = 0; ok && m < 2; ++m) {
    holders[m] = PySequence_Fast(PySequence_Fast_GET_ITEM(outer, m),
                                 "rests must hold sequences");
    if (holders[m] == nullptr) {
      ok = false;
      break;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(holders[m]);
    for (Py_ssize_t k = 0; ok && k < n; ++k) {
      PyObject* item = PySequence_Fast_GET_ITEM(holders[m], k);
      if (item == Py_None) {
        rests[m].emplace_back();
        present[m].push_back(false);
      } else if (PyBytes_Check(item)) {
        rests[m].emplace_back(PyBytes_AS_STRING(item),
                              static_cast<size_t>(PyBytes_GET_SIZE(item)));
        present[m].push_back(true);
      } else {
        PyErr_SetString(PyExc_TypeError,
                        "join(): a rest must be bytes or None");
        ok = false;
      }
    }
  }
  Py_DECREF(outer);
  return ok;
}

void append_number(std::string& out, int64_t value, bool hex) {
  char digits[24];
  if (hex) out += "0x";
  auto [end, error] =
      std::to_chars(digits, digits + sizeof digits, value, hex ? 16 : 10);
  (void)error;  // 24 characters hold any 64-bit value
  out.append(digits, end);
}

std::string_view view_of(PyObject* arg) {
  return {PyBytes_AS_STRING(arg), static_cast<size_t>(PyBytes_GET_SIZE(arg))};
}

PyObject* join_impl(PyObject* /*module*/, PyObject* const* args,
                    Py_ssize_t nargs) {
  if (nargs != 11) {
    PyErr_Format(PyExc_TypeError, "join() takes 11 arguments (%zd given)",
                 nargs);
    return nullptr;
  }
  Py_ssize_t count = -1;
  Column<int64_t> starts, ends;
  Column<uint8_t> in_set;
  Column<uint32_t> ids;
  if (!starts.bind(args[0], count) || !ends.bind(args[1], count) ||
      !in_set.bind(args[2], count) || !ids.bind(args[3], count)) {
    return nullptr;
  }
  if (!PyBytes_Check(args[5]) ||
      !(args[6] == Py_None || PyBytes_Check(args[6])) ||
      !PyBytes_Check(args[7])) {
    PyErr_SetString(PyExc_TypeError, "join(): head, mid and sep must be bytes");
    return nullptr;
  }
  const int hex = PyObject_IsTrue(args[8]);
  if (hex < 0) return nullptr;
  const Py_ssize_t at = PyLong_AsSsize_t(args[9]);
  if (at == -1 && PyErr_Occurred()) return nullptr;
  const Py_ssize_t stop = PyLong_AsSsize_t(args[10]);
  if (stop == -1 && PyErr_Occurred()) return nullptr;
  if (at < 0 || at > stop || stop > count) {
    PyErr_SetString(PyExc_ValueError, "join(): need 0 <= at <= stop <= count");
    return nullptr;
  }
  std::vector<std::string_view> rests[2];
  std::vector<bool> present[2];
  PyObject* holders[2] = {nullptr, nullptr};
  bool bound = false;
  try {
    bound = bind_rests(args[4], rests, present, holders);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  std::string out;
  bool ok = bound;
  const std::string_view head = view_of(args[5]), sep = view_of(args[7]);
  const bool with_end = args[6] != Py_None;
  const std::string_view mid = with_end ? view_of(args[6]) : std::string_view();
  try {
    bool first = true;
    for (Py_ssize_t k = at; ok && k < stop; ++k) {
      const size_t m = in_set.at(k) ? 1 : 0;
      const uint32_t id = ids.at(k);
      if (id >= rests[m].size()) {
        PyErr_SetString(PyExc_ValueError, "join(): an id without a rest");
        ok = false;
        break;
      }
      if (!present[m][id]) continue;
      if (!first) out += sep;
      first = false;
      out += head;
      append_number(out, starts.at(k), hex != 0);
      if (with_end) {
        out += mid;
        append_number(out, ends.at(k), false);
      }
      out += rests[m][id];
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    ok = false;
  }
  Py_XDECREF(holders[0]);
  Py_XDECREF(holders[1]);
  if (!ok) return nullptr;
  return PyBytes_FromStringAndSize(out.data(),
                                   static_cast<Py_ssize_t>(out.size()));
}

PyMethodDef methods[] = {
    {"join",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(join_impl)),
     METH_FASTCALL, JOIN_DOC},
    {"frame",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frame_impl)),
     METH_FASTCALL, FRAME_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ravick._plain",
    "The plain finds of a scan, framed and grouped by their bytes.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__plain() { return PyModuleDef_Init(&module_def); }
