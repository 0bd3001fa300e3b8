#include "py/market_data/file_replacement.hpp"

#include <cerrno>
#include <span>
#include <string>

#include "data/replace.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/gil.hpp"
#include "py/market_data/data_state.hpp"
#include "py/market_data/file_sources.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"

namespace halvorn::py::market_data {

namespace {

constexpr auto REPLACE_FILE =
    signature("halvorn.data._native._replace_file", either("path"), either("data"));

PyObject* replace_file(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<REPLACE_FILE> parsed;
    if (!parse<REPLACE_FILE>(args, kwds, &parsed)) return nullptr;
    PyObject *path = parsed[0], *contents = parsed[1];
    std::string fs_path;
    if (!fs_path_of(path, "path", &fs_path)) return nullptr;
    // Only bytes: an immutable object, so its contents cannot change while
    // they are written with the lock given up.
    if (!PyBytes_Check(contents)) {
      PyErr_Format(PyExc_TypeError, "argument 'data': expected bytes, got %.200s",
                   Py_TYPE(contents)->tp_name);
      return nullptr;
    }
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(contents)),
        static_cast<std::size_t>(PyBytes_GET_SIZE(contents)));
    int err = 0;
    {
      Gil gil;
      run_unlocked(gil, [&] { err = data::replace_file(fs_path, bytes); });
    }
    if (err != 0) {
      raise_file_os_error(err, path);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

}  // namespace

PyMethodDef replacement_functions[2] = {
    function_def<REPLACE_FILE>(
        replace_file,
        "Make `path` a file holding exactly `data` (bytes), replacing it whole.\n\n"
        "# Errors\n\n"
        "OSError with `path` and the reason; the file at `path` is then as it was."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace halvorn::py::market_data
