// Python objects to owned native values and back. Each *_arg function returns
// false with a TypeError (naming the parameter) set when the object has the
// wrong type.
#pragma once

#include <string>
#include <vector>

#include "python/pyref.h"
#include "query/value.h"

namespace vyr::py {

// A str, as its UTF-8 bytes.
bool str_arg(PyObject* obj, const char* param, std::string& out);
// A str used as a file-system path: its bytes as the file system encodes them
// (UTF-8, with surrogate escapes turned back into the original bytes).
bool path_arg(PyObject* obj, const char* param, std::string& out);
// A sequence (not a str) of str.
bool str_list_arg(PyObject* obj, const char* param, std::vector<std::string>& out);
// Like str_list_arg, for HTML pages: text that cannot be encoded (lone
// surrogates) is replaced rather than refused, as a browser would.
bool page_list_arg(PyObject* obj, const char* param, std::vector<std::string>& out);

// A list of dicts keyed by column name; nullptr with an exception set on failure.
PyObject* result_to_py(const query::QueryResult& result);
PyObject* value_to_py(const query::Value& value);

}  // namespace vyr::py
