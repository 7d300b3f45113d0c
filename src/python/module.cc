// The `vyr` module: argument conversion, the released-lock phase, and the one
// translation of core errors into Python exceptions. Every str argument is
// copied into an owned string before the lock is released.
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/convert.h"
#include "python/jobs.h"
#include "python/pyref.h"
#include "query/run.h"

namespace vyr::py {
namespace {

struct ModuleState {
  PyObject* fault_type;  // derives from BaseException
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// The outcome of guarded core work: a value, an error value, or a fault.
template <class T>
struct Outcome {
  enum class Kind { Ok, Error, Fault, NoMemory } kind = Kind::Fault;
  std::optional<Result<T>> result;
  std::string fault;
};

template <class T, class F>
Outcome<T> run_guarded(F&& work) {
  Outcome<T> out;
  try {
    out.result.emplace(work());
    out.kind = out.result->ok() ? Outcome<T>::Kind::Ok : Outcome<T>::Kind::Error;
  } catch (const std::bad_alloc&) {
    out.kind = Outcome<T>::Kind::NoMemory;
  } catch (const std::exception& e) {
    out.kind = Outcome<T>::Kind::Fault;
    out.fault = e.what();
  } catch (...) {
    out.kind = Outcome<T>::Kind::Fault;
    out.fault = "unknown internal fault";
  }
  return out;
}

// Turns a non-Ok outcome into the raised exception; returns nullptr.
template <class T>
PyObject* raise(PyObject* module, const Outcome<T>& out) {
  switch (out.kind) {
    case Outcome<T>::Kind::Error:
      PyErr_SetString(PyExc_ValueError, out.result->error().message().c_str());
      break;
    case Outcome<T>::Kind::NoMemory: PyErr_NoMemory(); break;
    default: PyErr_SetString(state_of(module)->fault_type, out.fault.c_str()); break;
  }
  return nullptr;
}

PyDoc_STRVAR(build_graph_doc,
             "build_graph(pages, out_path)\n--\n\n"
             "Build a graph from in-memory HTML strings and serialize it to `out_path`\n"
             "(archive `graph.bin`). Returns the byte size written. Suited to small batches\n"
             "where holding all HTML in memory is fine.");

PyObject* py_build_graph(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"pages", "out_path", nullptr};
  PyObject *pages_obj, *out_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:build_graph", const_cast<char**>(kw), &pages_obj, &out_obj))
    return nullptr;
  std::vector<std::string> pages;
  std::string out_path;
  if (!page_list_arg(pages_obj, "pages", pages) || !path_arg(out_obj, "out_path", out_path)) return nullptr;
  Outcome<uint64_t> out;
  {
    ReleaseGil unlocked;
    out = run_guarded<uint64_t>([&] { return jobs::build_graph(pages, out_path); });
    std::vector<std::string>().swap(pages);
  }
  if (out.kind != Outcome<uint64_t>::Kind::Ok) return raise(module, out);
  return PyLong_FromUnsignedLongLong(out.result->value());
}

PyDoc_STRVAR(build_graph_from_dir_doc,
             "build_graph_from_dir(html_dir, out_path)\n--\n\n"
             "Memory-bounded build: scan `html_dir` for `*.html`/`*.htm`, mmap each file\n"
             "one at a time, fold into the graph, and serialize to `out_path`. Peak memory\n"
             "is ~one page + the growing graph \xE2\x80\x94 independent of page count. This is the\n"
             "torvane handoff path. Returns (page_count, bytes_written).");

PyObject* py_build_graph_from_dir(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"html_dir", "out_path", nullptr};
  PyObject *dir_obj, *out_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:build_graph_from_dir", const_cast<char**>(kw), &dir_obj,
                                   &out_obj))
    return nullptr;
  std::string dir, out_path;
  if (!path_arg(dir_obj, "html_dir", dir) || !path_arg(out_obj, "out_path", out_path)) return nullptr;
  using Counts = std::pair<uint64_t, uint64_t>;
  Outcome<Counts> out;
  {
    ReleaseGil unlocked;
    out = run_guarded<Counts>([&] { return jobs::build_graph_from_dir(dir, out_path); });
  }
  if (out.kind != Outcome<Counts>::Kind::Ok) return raise(module, out);
  const Counts& c = out.result->value();
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(c.first), static_cast<unsigned long long>(c.second));
}

PyDoc_STRVAR(merge_graph_doc,
             "merge_graph(existing_path, pages, removed_urls, out_path)\n--\n\n"
             "INCREMENTAL rebuild: fold a small batch of re-crawled `pages` into the\n"
             "graph at `existing_path`, drop the products at `removed_urls`, and write the\n"
             "result to `out_path` (atomic). Returns the byte size written.\n"
             "\n"
             "This is what lets a store's graph stay current WITHOUT re-crawling every\n"
             "page: a change-detector (sitemap `lastmod` / content hash) feeds only the\n"
             "handful of changed product pages here, plus the URLs of any that went\n"
             "off-sale. A re-crawled product `upsert`s \xE2\x80\x94 its price/name overwrite in\n"
             "place rather than duplicating. `removed_urls` are matched against each\n"
             "product's `url` prop (the identity a caller actually holds \xE2\x80\x94 the internal\n"
             "node id is a source-dependent handle/sku the caller never sees).\n"
             "\n"
             "When `existing_path` is absent or empty, this behaves like a fresh\n"
             "`build_graph` from `pages` \xE2\x80\x94 so the caller needs no first-run/incremental\n"
             "branch. `existing_path` and `out_path` MAY be the same file (the load\n"
             "fully deserializes into memory before the atomic rewrite).");

PyObject* py_merge_graph(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"existing_path", "pages", "removed_urls", "out_path", nullptr};
  PyObject *existing_obj, *pages_obj, *removed_obj, *out_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:merge_graph", const_cast<char**>(kw), &existing_obj,
                                   &pages_obj, &removed_obj, &out_obj))
    return nullptr;
  std::string existing, out_path;
  std::vector<std::string> pages, removed;
  if (!path_arg(existing_obj, "existing_path", existing) || !page_list_arg(pages_obj, "pages", pages) ||
      !str_list_arg(removed_obj, "removed_urls", removed) || !path_arg(out_obj, "out_path", out_path))
    return nullptr;
  Outcome<uint64_t> out;
  {
    ReleaseGil unlocked;
    out = run_guarded<uint64_t>([&] { return jobs::merge_graph(existing, pages, removed, out_path); });
    std::vector<std::string>().swap(pages);
  }
  if (out.kind != Outcome<uint64_t>::Kind::Ok) return raise(module, out);
  return PyLong_FromUnsignedLongLong(out.result->value());
}

PyDoc_STRVAR(query_doc,
             "query(graph_path, cypher_query)\n--\n\n"
             "Run a read-only Cypher query against a saved `graph.bin` (mmap'd zero-copy).\n"
             "Returns a list of row dicts keyed by the RETURN column names. A NodeRef\n"
             "value becomes a nested dict `{\"idx\", \"kind\", \"name\"}`.");

PyObject* py_query(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"graph_path", "cypher_query", nullptr};
  PyObject *path_obj, *text_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:query", const_cast<char**>(kw), &path_obj, &text_obj))
    return nullptr;
  std::string path, text;
  if (!path_arg(path_obj, "graph_path", path) || !str_arg(text_obj, "cypher_query", text)) return nullptr;
  Outcome<query::QueryResult> out;
  {
    ReleaseGil unlocked;
    out = run_guarded<query::QueryResult>([&] { return query::run_query(path, text); });
  }
  if (out.kind != Outcome<query::QueryResult>::Kind::Ok) return raise(module, out);
  return result_to_py(out.result->value());
}

PyMethodDef METHODS[] = {
    {"build_graph", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_build_graph)),
     METH_VARARGS | METH_KEYWORDS, build_graph_doc},
    {"build_graph_from_dir", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_build_graph_from_dir)),
     METH_VARARGS | METH_KEYWORDS, build_graph_from_dir_doc},
    {"merge_graph", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_merge_graph)),
     METH_VARARGS | METH_KEYWORDS, merge_graph_doc},
    {"query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_query)), METH_VARARGS | METH_KEYWORDS,
     query_doc},
    {nullptr, nullptr, 0, nullptr},
};

int traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = state_of(module);
  if (st) Py_VISIT(st->fault_type);
  return 0;
}

int clear(PyObject* module) {
  ModuleState* st = state_of(module);
  if (st) Py_CLEAR(st->fault_type);
  return 0;
}

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "vyr", "", sizeof(ModuleState), nullptr, nullptr, traverse, clear, nullptr,
};

// Appends `name` to __all__ (creating the list on first use), then adds
// `value` (a new reference, stolen) under it.
bool add_exported(PyObject* module, const char* name, PyObject* value) {
  PyRef v(value);
  if (!v) return false;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  PyRef n(PyUnicode_FromString(name));
  if (!n || PyList_Append(all.get(), n.get()) != 0) return false;
  return PyObject_SetAttrString(module, name, v.get()) == 0;
}

bool initialized = false;

}  // namespace
}  // namespace vyr::py

extern "C" PyMODINIT_FUNC PyInit_vyr(void) {
  using namespace vyr::py;
  if (initialized) {
    PyErr_SetString(PyExc_ImportError, "vyr can only be initialized once per process");
    return nullptr;
  }
  PyRef module(PyModule_Create(&MODULE_DEF));
  if (!module) return nullptr;
  PyRef module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef* m = METHODS; m->ml_name; ++m) {
    if (!add_exported(module.get(), m->ml_name, PyCFunction_NewEx(m, module.get(), module_name.get())))
      return nullptr;
  }
  if (!add_exported(module.get(), "__version__", PyUnicode_FromString("0.8.6"))) return nullptr;
  PyObject* fault = PyErr_NewExceptionWithDoc(
      "vyr.InternalFault", "A broken internal invariant inside vyr; not an ordinary error.", PyExc_BaseException,
      nullptr);
  if (!fault) return nullptr;
  state_of(module.get())->fault_type = fault;
  initialized = true;
  return module.release();
}
