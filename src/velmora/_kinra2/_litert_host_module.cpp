// The host as the CPython extension module velmora._kinra2._litert_host: the
// same entry as the native program, callable from a Python process as
// main(argv) -> int. It is built as the package's __init__ so that the
// package's __main__ can run it with `python -m`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "host/entry.hpp"

namespace {

// Both descriptors and the staging registry belong to the process, so two
// runs at once would interleave their streams and sweep each other's files.
std::atomic<bool> g_running{false};

// argv items as the bytes the OS would have passed: str is encoded the way
// os.fsencode does, so a name Python decoded with surrogateescape round-trips.
bool to_bytes(PyObject* item, std::string& out) {
  if (!PyUnicode_Check(item)) {
    PyErr_Format(PyExc_TypeError, "main() argv items must be str, not %.100s",
                 Py_TYPE(item)->tp_name);
    return false;
  }
  PyObject* b = PyUnicode_EncodeFSDefault(item);
  if (!b) return false;
  char* data = nullptr;
  Py_ssize_t n = 0;
  PyBytes_AsStringAndSize(b, &data, &n);
  out.assign(data, static_cast<std::size_t>(n));
  Py_DECREF(b);
  // The entry takes C strings; a NUL inside one would silently cut it.
  if (out.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "main() argv items must not contain a null character");
    return false;
  }
  return true;
}

// The directory holding this module, where the package keeps the policy
// component beside it.
bool own_dir(PyObject* self, std::string& out) {
  PyObject* file = PyModule_GetFilenameObject(self);
  if (!file) return false;
  PyObject* b = PyUnicode_EncodeFSDefault(file);
  Py_DECREF(file);
  if (!b) return false;
  out = std::filesystem::path(PyBytes_AS_STRING(b)).parent_path().string();
  Py_DECREF(b);
  return true;
}

// Anything Python still holds for the standard streams goes out before the
// host writes to the descriptors directly.
void flush_python_streams() {
  for (const char* name : {"stdout", "stderr"}) {
    PyObject* f = PySys_GetObject(name);  // borrowed
    if (!f || f == Py_None) continue;
    PyObject* r = PyObject_CallMethod(f, "flush", nullptr);
    if (r) {
      Py_DECREF(r);
    } else {
      PyErr_Clear();
    }
  }
}

PyObject* py_main(PyObject* self, PyObject* argv) {
  if (!PyList_Check(argv) && !PyTuple_Check(argv)) {
    PyErr_Format(PyExc_TypeError, "main() argv must be a list of str, not %.100s",
                 Py_TYPE(argv)->tp_name);
    return nullptr;
  }
  try {
    std::vector<std::string> args;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(argv);
    args.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      args.emplace_back();
      if (!to_bytes(PySequence_Fast_GET_ITEM(argv, i), args.back())) return nullptr;
    }
    std::string dir;
    if (!own_dir(self, dir)) return nullptr;
    std::vector<const char*> cargs;
    for (const auto& a : args) cargs.push_back(a.c_str());
    cargs.push_back(nullptr);

    if (g_running.exchange(true)) {
      PyErr_SetString(PyExc_RuntimeError, "main() is already running in this process");
      return nullptr;
    }
    flush_python_streams();
    int status = 1;
    std::exception_ptr failed;
    // Serving blocks on standard input for as long as the peer streams; the
    // interpreter's other threads keep running meanwhile. Nothing may unwind
    // past the re-acquisition of the GIL.
    PyThreadState* ts = PyEval_SaveThread();
    try {
      status = kinra2::host::main(static_cast<int>(args.size()), cargs.data(), {dir});
    } catch (...) {
      failed = std::current_exception();
    }
    PyEval_RestoreThread(ts);
    g_running.store(false);
    if (failed) std::rethrow_exception(failed);
    return PyLong_FromLong(status);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "main() failed with a non-standard exception");
    return nullptr;
  }
}

PyMethodDef methods[] = {
    {"main", py_main, METH_O,
     "main(argv: list[str]) -> int\n\n"
     "Runs the render host with the complete argument vector (program name first,\n"
     "never read) on the process's standard input and output; returns the exit status."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "velmora._kinra2._litert_host",
    "Streaming render host for the audio-driven talking head.",
    -1,  // process-wide state: one instance per process
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__litert_host() {
  return PyModule_Create(&module);
}
