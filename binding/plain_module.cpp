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
#include <utility>
#include <vector>

#include "framing.h"

namespace {

constexpr const char* FRAME_DOC =
    "frame(buffer, ranges, threads=1, /)\n--\n\n"
    "A scan's ranges in a buffer with framed ends, grouped by their bytes,\n"
    "on up to `threads` threads.\n\n"
    "Returns (starts, ends, in_set, ids, firsts, uses): the framed ranges\n"
    "as columns (starts and ends 64-bit, in_set one byte each, ids 32-bit,\n"
    "all in native byte order), ids numbering equal bytes from 0 in order of\n"
    "first appearance, firsts the index of each number's first range, and\n"
    "uses a byte per number: 1 when a range of it is not in a set, 2 when\n"
    "one is, 3 for both.\n"
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
  std::vector<uint8_t> uses;  // per number: 1 met unmarked, 2 marked
};

std::optional<std::string> run_frame(ravick::Bytes buf,
                                     const std::vector<ravick::ByteRange>& in,
                                     unsigned threads, Framed& out) {
  try {
    auto [framed, grouped] = ravick::frame_and_group(buf, in, threads);
    out.grouped = std::move(grouped);
    out.starts.reserve(framed.size());
    out.ends.reserve(framed.size());
    out.in_set.reserve(framed.size());
    out.uses.assign(out.grouped.firsts.size(), 0);
    for (size_t k = 0; k < framed.size(); ++k) {
      const auto& r = framed[k];
      out.starts.push_back(static_cast<int64_t>(r.start));
      out.ends.push_back(static_cast<int64_t>(r.end));
      out.in_set.push_back(r.in_set ? 1 : 0);
      out.uses[out.grouped.ids[k]] |= r.in_set ? 2 : 1;
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
  if (nargs < 2 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "frame() takes 2 or 3 arguments (%zd given)",
                 nargs);
    return nullptr;
  }
  long threads = 1;
  if (nargs == 3) {
    threads = PyLong_AsLong(args[2]);
    if (threads == -1 && PyErr_Occurred()) return nullptr;
    if (threads < 1 || threads > 1024) {
      PyErr_SetString(PyExc_ValueError, "frame(): threads must be 1 to 1024");
      return nullptr;
    }
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
      ranges, static_cast<unsigned>(threads), framed);
  Py_END_ALLOW_THREADS;
  PyBuffer_Release(&view);
  if (failure) {
    PyErr_SetString(PyExc_RuntimeError, failure->c_str());
    return nullptr;
  }
  return Py_BuildValue("(NNNNNN)", column(framed.starts), column(framed.ends),
                       column(framed.in_set), column(framed.grouped.ids),
                       build_firsts(framed.grouped.firsts),
                       column(framed.uses));
}

constexpr const char* JOIN_DOC =
    "join(starts, ends, in_set, ids, rests, bounds, head, mid, sep, hex, at,\n"
    "     stop, /)\n--\n\n"
    "The text of the finds at..stop of frame()'s columns, as bytes.\n\n"
    "Each find is head, its start (in hex with 0x when hex), then mid and\n"
    "its end unless mid is None, then its rest: with n ids, the rest of a\n"
    "find numbered id, marked m (its in_set), is rests[bounds[k]:bounds[k +\n"
    "1]] for k = m * n + id (bounds 64-bit, 2 * n + 1 of them). Finds whose\n"
    "rest is empty are left out, the others joined by sep.";

// A column of `T` values in a buffer, its length checked against `count`
// (taken from the column when negative).
template <typename T>
struct Column {
  Py_buffer view{};
  bool held = false;
  Py_ssize_t size = 0;
  ~Column() {
    if (held) PyBuffer_Release(&view);
  }
  bool bind(PyObject* arg, Py_ssize_t& count) {
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return false;
    held = true;
    size = view.len / static_cast<Py_ssize_t>(sizeof(T));
    if (view.len % static_cast<Py_ssize_t>(sizeof(T)) != 0 ||
        (count >= 0 && size != count)) {
      PyErr_SetString(PyExc_ValueError, "join(): columns of unequal lengths");
      return false;
    }
    count = size;
    return true;
  }
  T at(Py_ssize_t k) const {
    T value;
    std::memcpy(&value, static_cast<const char*>(view.buf) + k * sizeof(T),
                sizeof(T));
    return value;
  }
};

std::string_view view_of(PyObject* arg) {
  return {PyBytes_AS_STRING(arg), static_cast<size_t>(PyBytes_GET_SIZE(arg))};
}

struct Texts {
  std::string_view head, mid, sep;
  bool with_end = false;
  bool hex = false;
};

// The rests as views into the blob, checked against it.
bool bind_rests(const Column<char>& blob, const Column<int64_t>& bounds,
                std::vector<std::string_view>& rests) {
  const Py_ssize_t kinds = bounds.size - 1;
  if (kinds < 0 || kinds % 2 != 0) {
    PyErr_SetString(PyExc_ValueError, "join(): bounds must be 2 * n + 1");
    return false;
  }
  rests.resize(static_cast<size_t>(kinds));
  for (Py_ssize_t k = 0; k < kinds; ++k) {
    const int64_t from = bounds.at(k);
    const int64_t to = bounds.at(k + 1);
    if (from < 0 || to < from || to > blob.size) {
      PyErr_SetString(PyExc_ValueError, "join(): bounds outside the rests");
      return false;
    }
    rests[static_cast<size_t>(k)] =
        std::string_view(static_cast<const char*>(blob.view.buf) + from,
                         static_cast<size_t>(to - from));
  }
  return true;
}

// Appends text at `to`, or only counts it when `to` is null.
class Writer {
 public:
  explicit Writer(char* to) : to_(to) {}
  void put(std::string_view text) {
    if (to_ != nullptr) std::memcpy(to_ + size_, text.data(), text.size());
    size_ += text.size();
  }
  void number(int64_t value, bool hex) {
    char digits[24];
    if (hex) put("0x");
    auto [end, error] =
        std::to_chars(digits, digits + sizeof digits, value, hex ? 16 : 10);
    (void)error;  // 24 characters hold any 64-bit value
    put(std::string_view(digits, static_cast<size_t>(end - digits)));
  }
  size_t size() const { return size_; }

 private:
  char* to_;
  size_t size_ = 0;
};

// The finds' text (their ids checked against the rests).
void write_finds(Writer& out, const Texts& texts, const Column<int64_t>& starts,
                 const Column<int64_t>& ends, const Column<uint8_t>& in_set,
                 const Column<uint32_t>& ids,
                 const std::vector<std::string_view>& rests, Py_ssize_t at,
                 Py_ssize_t stop) {
  const size_t n = rests.size() / 2;
  bool first = true;
  for (Py_ssize_t k = at; k < stop; ++k) {
    const size_t which = (in_set.at(k) ? n : 0) + ids.at(k);
    if (rests[which].empty()) continue;
    if (!first) out.put(texts.sep);
    first = false;
    out.put(texts.head);
    out.number(starts.at(k), texts.hex);
    if (texts.with_end) {
      out.put(texts.mid);
      out.number(ends.at(k), false);
    }
    out.put(rests[which]);
  }
}

PyObject* join_impl(PyObject* /*module*/, PyObject* const* args,
                    Py_ssize_t nargs) {
  if (nargs != 12) {
    PyErr_Format(PyExc_TypeError, "join() takes 12 arguments (%zd given)",
                 nargs);
    return nullptr;
  }
  Py_ssize_t count = -1;
  Column<int64_t> starts, ends, bounds;
  Column<uint8_t> in_set;
  Column<uint32_t> ids;
  Column<char> blob;
  Py_ssize_t any = -1, other = -1;
  if (!starts.bind(args[0], count) || !ends.bind(args[1], count) ||
      !in_set.bind(args[2], count) || !ids.bind(args[3], count) ||
      !blob.bind(args[4], any) || !bounds.bind(args[5], other)) {
    return nullptr;
  }
  if (!PyBytes_Check(args[6]) ||
      !(args[7] == Py_None || PyBytes_Check(args[7])) ||
      !PyBytes_Check(args[8])) {
    PyErr_SetString(PyExc_TypeError, "join(): head, mid and sep must be bytes");
    return nullptr;
  }
  Texts texts{view_of(args[6]),
              args[7] == Py_None ? std::string_view() : view_of(args[7]),
              view_of(args[8]), args[7] != Py_None, false};
  const int hex = PyObject_IsTrue(args[9]);
  if (hex < 0) return nullptr;
  texts.hex = hex != 0;
  const Py_ssize_t at = PyLong_AsSsize_t(args[10]);
  if (at == -1 && PyErr_Occurred()) return nullptr;
  const Py_ssize_t stop = PyLong_AsSsize_t(args[11]);
  if (stop == -1 && PyErr_Occurred()) return nullptr;
  if (at < 0 || at > stop || stop > count) {
    PyErr_SetString(PyExc_ValueError, "join(): need 0 <= at <= stop <= count");
    return nullptr;
  }
  std::vector<std::string_view> rests;
  try {
    if (!bind_rests(blob, bounds, rests)) return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  const size_t n = rests.size() / 2;
  for (Py_ssize_t k = at; k < stop; ++k) {
    if (ids.at(k) >= n) {
      PyErr_SetString(PyExc_ValueError, "join(): an id without a rest");
      return nullptr;
    }
  }
  // Measured first, then written in place: the text of a chunk of a memory
  // image runs to megabytes.
  Writer measure(nullptr);
  write_finds(measure, texts, starts, ends, in_set, ids, rests, at, stop);
  PyObject* out = PyBytes_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(measure.size()));
  if (out == nullptr) return nullptr;
  Writer writer(PyBytes_AS_STRING(out));
  write_finds(writer, texts, starts, ends, in_set, ids, rests, at, stop);
  return out;
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
