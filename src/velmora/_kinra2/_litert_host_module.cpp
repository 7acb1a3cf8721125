// The host as the CPython extension module velmora._kinra2._litert_host: the
// same entry as the native program, callable from a Python process as
// main(argv) -> int. It is built as the package's __init__ so that the
// package's __main__ can run it with `python -m`.
//
// Only the limited API of 3.12 is used, so the Windows build links against
// python3.dll alone and the Linux build, which the tests load, is the same
// code, not a look-alike.
#define Py_LIMITED_API 0x030C0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <exception>
#include <string>
#include <vector>

#include "host/entry.hpp"

namespace {

// Both descriptors and the staging registry belong to the process, so two
// runs at once would interleave their streams and sweep each other's files.
std::atomic<bool> g_running{false};

// The type's name for an error message, as much as can be had.
bool type_error(const char* what, PyObject* obj) {
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "main() %s, not %.100U", what, name);
  Py_DECREF(name);
  return false;
}

// A str as the bytes the host takes for arguments and paths. On Linux those
// are the bytes the OS would have passed: str is encoded the way os.fsencode
// does, so a name Python decoded with surrogateescape round-trips. On Windows
// the host takes UTF-8, whatever file-system encoding the interpreter was
// told to use.
PyObject* host_bytes(PyObject* str) {
#ifdef _WIN32
  return PyUnicode_AsUTF8String(str);
#else
  return PyUnicode_EncodeFSDefault(str);
#endif
}

bool to_bytes(PyObject* item, std::string& out) {
  if (!PyUnicode_Check(item)) return type_error("argv items must be str", item);
  PyObject* b = host_bytes(item);
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
// component beside it. Cut by hand: on Windows the name is UTF-8, which a
// narrow std::filesystem::path would take for the ANSI code page there.
bool own_dir(PyObject* self, std::string& out) {
#ifdef _WIN32
  constexpr const char* separators = "\\/";
#else
  constexpr const char* separators = "/";
#endif
  PyObject* file = PyModule_GetFilenameObject(self);
  if (!file) return false;
  PyObject* b = host_bytes(file);
  Py_DECREF(file);
  if (!b) return false;
  const char* name = PyBytes_AsString(b);
  if (name) {
    out = name;
    auto cut = out.find_last_of(separators);
    if (cut == std::string::npos) {
      cut = 0;
    } else if (cut == 0 || out[cut - 1] == ':') {
      ++cut;  // a root ("/", "C:\\") stays a root
    }
    out.erase(cut);
  }
  Py_DECREF(b);
  return name != nullptr;
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

PyObject* run_main(PyObject* self, PyObject* argv, bool confine) {
  if (!PyList_Check(argv) && !PyTuple_Check(argv)) {
    type_error("argv must be a list of str", argv);
    return nullptr;
  }
  try {
    std::vector<std::string> args;
    const Py_ssize_t n = PySequence_Size(argv);
    if (n < 0) return nullptr;
    args.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_GetItem(argv, i);
      if (!item) return nullptr;
      args.emplace_back();
      const bool ok = to_bytes(item, args.back());
      Py_DECREF(item);
      if (!ok) return nullptr;
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
      status = kinra2::host::main(static_cast<int>(args.size()), cargs.data(), {dir}, confine);
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

// An application's own process is never confined: the host would take
// rights the application still needs.
PyObject* py_main(PyObject* self, PyObject* argv) {
  return run_main(self, argv, false);
}

// `python -m`: the process is the host's alone, so it is confined as the
// native program is.
PyObject* py_program_main(PyObject* self, PyObject* argv) {
  return run_main(self, argv, true);
}

PyMethodDef methods[] = {
    {"main", py_main, METH_O,
     "main(argv: list[str]) -> int\n\n"
     "Runs the render host with the complete argument vector (program name first,\n"
     "never read) on the process's standard input and output; returns the exit status."},
    {"_program_main", py_program_main, METH_O,
     "_program_main(argv: list[str]) -> int\n\n"
     "main() for `python -m`, where the process is the host's alone: once set up, it confines\n"
     "the whole process for the rest of its life."},
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
  // Nothing here may need the LiteRT runtime: the module imports without it,
  // and main() says what is missing.
  PyObject* m = PyModule_Create(&module);
  if (m && PyModule_AddStringConstant(m, "__version__", K2_VERSION) < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
