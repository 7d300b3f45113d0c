#include "python/convert.h"

#include <atomic>
#include <type_traits>

#include <emmintrin.h>
#include <tbb/task_group.h>

namespace vyr::py {
namespace {

std::string type_name(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  std::string out;
  if (name) {
    PyRef bytes(PyUnicode_AsUTF8String(name.get()));
    char* data;
    Py_ssize_t len;
    if (bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &len) == 0) out.assign(data, static_cast<size_t>(len));
  }
  PyErr_Clear();
  return out.empty() ? "object" : out;
}

bool type_error(const char* param, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "argument '%s' must be %s, not %s", param, expected, type_name(got).c_str());
  return false;
}

bool bytes_into(PyObject* bytes, std::string& out) {
  char* data;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(bytes, &data, &len) != 0) return false;
  out.assign(data, static_cast<size_t>(len));
  return true;
}

// UTF-8, refusing lone surrogates (UnicodeEncodeError).
bool encode_str(PyObject* obj, std::string& out) {
  PyRef bytes(PyUnicode_AsUTF8String(obj));
  return bytes && bytes_into(bytes.get(), out);
}

// The UTF-8 form of `n` code points. Python's UTF-8 encoder with the
// "replace" handler writes each lone surrogate as "?"; so does this. Runs of
// ASCII, most of any page, go eight code points at a time.
void ucs4_to_utf8(const Py_UCS4* s, size_t n, std::string& out) {
  out.resize(n + n / 8 + 16);
  size_t at = 0;  // bytes written
  size_t i = 0;
  const __m128i ascii_max = _mm_set1_epi32(0x7F);
  while (i < n) {
    // Room for one more block or character, whatever comes.
    if (out.size() - at < 8) out.resize(out.size() + out.size() / 2 + (n - i) + 16);
    char* d = out.data() + at;
    const size_t room = out.size() - at;
    size_t w = 0;
    for (; i + 8 <= n && w + 8 <= room; i += 8, w += 8) {
      const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 4));
      // Code points are below 2^31, so the signed comparison is exact.
      if (_mm_movemask_epi8(_mm_cmpgt_epi32(_mm_or_si128(lo, hi), ascii_max)) != 0) break;
      const __m128i words = _mm_packs_epi32(lo, hi);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(d + w), _mm_packus_epi16(words, words));
    }
    at += w;
    if (i >= n) break;
    if (out.size() - at < 4) continue;
    d = out.data() + at;
    const Py_UCS4 c = s[i++];
    if (c < 0x80) {
      d[0] = static_cast<char>(c);
      at += 1;
    } else if (c < 0x800) {
      d[0] = static_cast<char>(0xC0 | (c >> 6));
      d[1] = static_cast<char>(0x80 | (c & 0x3F));
      at += 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      d[0] = '?';
      at += 1;
    } else if (c < 0x10000) {
      d[0] = static_cast<char>(0xE0 | (c >> 12));
      d[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      d[2] = static_cast<char>(0x80 | (c & 0x3F));
      at += 3;
    } else {
      d[0] = static_cast<char>(0xF0 | (c >> 18));
      d[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      d[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      d[3] = static_cast<char>(0x80 | (c & 0x3F));
      at += 4;
    }
  }
  out.resize(at);
}

// Pages' UTF-8, written on worker threads while the calling thread, which
// holds the interpreter lock, copies the next pages' code points out of
// their str objects (a plain widening copy inside the interpreter, far
// faster than its UTF-8 encoder on the non-ASCII text most pages are). The
// workers touch no Python object: only code points already copied out and
// each page's own string. Batches of about a megabyte of code points
// alternate, so memory stays small whatever the number of pages.
class PageWriter {
 public:
  // `out` must already hold one string per page and must not be resized
  // before finish() or destruction.
  explicit PageWriter(std::vector<std::string>& out) : out_(out) {}
  PageWriter(const PageWriter&) = delete;
  PageWriter& operator=(const PageWriter&) = delete;
  ~PageWriter() {
    for (Batch& b : batches_) wait(b);
  }

  // Copies the code points of page `index`; false with a Python exception
  // set when the str cannot be read.
  bool add(PyObject* str, size_t index) {
    const Py_ssize_t n = PyUnicode_GetLength(str);
    if (n < 0) return false;
    Batch& b = batches_[current_];
    if (b.texts.size() <= b.count) b.texts.emplace_back();
    std::vector<Py_UCS4>& text = b.texts[b.count];
    text.resize(static_cast<size_t>(n));
    if (n > 0 && PyUnicode_AsUCS4(str, text.data(), n, 0) == nullptr) return false;
    if (b.index.size() <= b.count) b.index.emplace_back();
    b.index[b.count++] = index;
    code_points_ += static_cast<size_t>(n);
    if (code_points_ >= BATCH_CODE_POINTS) launch();
    return true;
  }

  // Waits for every page; false with MemoryError set when one could not be
  // written.
  bool finish() {
    launch();
    for (Batch& b : batches_) wait(b);
    if (failed_.load()) {
      PyErr_NoMemory();
      return false;
    }
    return true;
  }

 private:
  static constexpr size_t BATCH_CODE_POINTS = size_t{1} << 18;
  struct Batch {
    std::vector<std::vector<Py_UCS4>> texts;  // kept from batch to batch, so reused
    std::vector<size_t> index;
    size_t count = 0;
    tbb::task_group writers;
  };

  void wait(Batch& b) {
    try {
      b.writers.wait();
    } catch (...) {
      failed_.store(true);
    }
  }

  // Hands the current batch to the workers and goes on with the other one
  // once its pages are written.
  void launch() {
    Batch& full = batches_[current_];
    for (size_t k = 0; k < full.count; ++k) {
      full.writers.run([this, &full, k] {
        try {
          const std::vector<Py_UCS4>& text = full.texts[k];
          ucs4_to_utf8(text.data(), text.size(), out_[full.index[k]]);
        } catch (...) {
          failed_.store(true);
        }
      });
    }
    current_ ^= 1;
    wait(batches_[current_]);
    batches_[current_].count = 0;
    code_points_ = 0;
  }

  std::vector<std::string>& out_;
  Batch batches_[2];
  size_t current_ = 0;
  size_t code_points_ = 0;
  std::atomic<bool> failed_{false};
};

// Calls begin(n) with the number of items of a sequence of str, then
// each(item, index) for every item.
template <class Begin, class Each>
bool for_each_str(PyObject* obj, const char* param, Begin begin, Each each) {
  const char* expected = "a sequence of str";
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return type_error(param, expected, obj);
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return false;
  begin(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item(PySequence_GetItem(obj, i));
    if (!item) return false;
    if (!PyUnicode_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "argument '%s' must be a sequence of str, but item %zd is %s", param, i,
                   type_name(item.get()).c_str());
      return false;
    }
    if (!each(item.get(), static_cast<size_t>(i))) return false;
  }
  return true;
}

}  // namespace

bool str_arg(PyObject* obj, const char* param, std::string& out) {
  if (!PyUnicode_Check(obj)) return type_error(param, "str", obj);
  return encode_str(obj, out);
}

bool path_arg(PyObject* obj, const char* param, std::string& out) {
  if (!PyUnicode_Check(obj)) return type_error(param, "str", obj);
  PyRef bytes(PyUnicode_EncodeFSDefault(obj));
  return bytes && bytes_into(bytes.get(), out);
}

bool str_list_arg(PyObject* obj, const char* param, std::vector<std::string>& out) {
  return for_each_str(
      obj, param,
      [&](size_t n) {
        out.clear();
        out.reserve(n);
      },
      [&](PyObject* item, size_t) {
        out.emplace_back();
        return encode_str(item, out.back());
      });
}

bool page_list_arg(PyObject* obj, const char* param, std::vector<std::string>& out) {
  PageWriter writer(out);
  // Every page's string exists before any is written, so the workers' writes
  // never meet a reallocation.
  return for_each_str(
             obj, param, [&](size_t n) { out.assign(n, std::string()); },
             [&](PyObject* item, size_t i) { return writer.add(item, i); }) &&
         writer.finish();
}

PyObject* value_to_py(const query::Value& value) {
  return std::visit(
      [](const auto& v) -> PyObject* {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          Py_INCREF(Py_None);
          return Py_None;
        } else if constexpr (std::is_same_v<T, bool>) {
          return PyBool_FromLong(v ? 1 : 0);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          return PyLong_FromLongLong(v);
        } else if constexpr (std::is_same_v<T, double>) {
          return PyFloat_FromDouble(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), "replace");
        } else if constexpr (std::is_same_v<T, query::List>) {
          PyRef list(PyList_New(static_cast<Py_ssize_t>(v.size())));
          if (!list) return nullptr;
          for (size_t i = 0; i < v.size(); ++i) {
            PyObject* item = value_to_py(v[i]);
            if (!item) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
          }
          return list.release();
        } else {
          PyRef dict(PyDict_New());
          if (!dict) return nullptr;
          PyRef idx(PyLong_FromUnsignedLong(v.idx));
          PyRef kind(PyUnicode_DecodeUTF8(v.kind.data(), static_cast<Py_ssize_t>(v.kind.size()), "replace"));
          PyRef name(PyUnicode_DecodeUTF8(v.name.data(), static_cast<Py_ssize_t>(v.name.size()), "replace"));
          if (!idx || !kind || !name || PyDict_SetItemString(dict.get(), "idx", idx.get()) != 0 ||
              PyDict_SetItemString(dict.get(), "kind", kind.get()) != 0 ||
              PyDict_SetItemString(dict.get(), "name", name.get()) != 0)
            return nullptr;
          return dict.release();
        }
      },
      value.v);
}

PyObject* result_to_py(const query::QueryResult& result) {
  std::vector<PyRef> keys;
  keys.reserve(result.columns.size());
  for (const std::string& c : result.columns) {
    keys.emplace_back(PyUnicode_DecodeUTF8(c.data(), static_cast<Py_ssize_t>(c.size()), "replace"));
    if (!keys.back()) return nullptr;
  }
  PyRef list(PyList_New(static_cast<Py_ssize_t>(result.rows.size())));
  if (!list) return nullptr;
  for (size_t r = 0; r < result.rows.size(); ++r) {
    const auto& row = result.rows[r];
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (size_t i = 0; i < row.size() && i < keys.size(); ++i) {
      PyRef v(value_to_py(row[i]));
      if (!v || PyDict_SetItem(dict.get(), keys[i].get(), v.get()) != 0) return nullptr;
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), dict.release());
  }
  return list.release();
}

}  // namespace vyr::py
