/* A stand-in for python3.dll, so that the Windows build of the extension
   module can be loaded and its main() called under Wine, where no Windows
   Python exists. It provides exactly the stable-ABI names the module imports,
   with just enough of an object model behind them: str, bytes, list, int and
   a module. Compiled against the same headers as the module, so every
   signature is checked against the real declaration. Nothing is freed. */
#define Py_BUILD_CORE /* the declarations become exports */
#define Py_LIMITED_API 0x030C0000
#include <Python.h>

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
  PyObject ob;
  const char* name;
  unsigned long flags;
} Type;

static Type str_type = {{{1}, NULL}, "str", Py_TPFLAGS_UNICODE_SUBCLASS};
static Type bytes_type = {{{1}, NULL}, "bytes", Py_TPFLAGS_BYTES_SUBCLASS};
static Type list_type = {{{1}, NULL}, "list", Py_TPFLAGS_LIST_SUBCLASS};
static Type int_type = {{{1}, NULL}, "int", Py_TPFLAGS_LONG_SUBCLASS};
static Type module_type = {{{1}, NULL}, "module", 0};
static Type exc_type = {{{1}, NULL}, "type", 0};

typedef struct {
  PyObject ob;
  char* data; /* str: UTF-8; bytes: the bytes, NUL-terminated */
  Py_ssize_t size;
} Text;

typedef struct {
  PyObject ob;
  Py_ssize_t size;
  PyObject** items;
} List;

typedef struct {
  PyObject ob;
  long value;
} Int;

typedef struct {
  PyObject ob;
  PyModuleDef* def;
  PyObject* file;
} Module;

static PyObject* make(Type* type, size_t size) {
  PyObject* o = calloc(1, size);
  if (!o) abort();
  o->ob_refcnt = 1;
  o->ob_type = (PyTypeObject*)type;
  return o;
}

static PyObject* text(Type* type, const char* data, Py_ssize_t size) {
  Text* t = (Text*)make(type, sizeof(Text));
  t->data = malloc((size_t)size + 1);
  if (!t->data) abort();
  memcpy(t->data, data, (size_t)size);
  t->data[size] = '\0';
  t->size = size;
  return &t->ob;
}

/* The raised exception: its kind and message, as the module left them. */
static PyObject* err_type;
static char err_text[512];

static PyObject exc_type_error = {{1}, (PyTypeObject*)&exc_type};
static PyObject exc_value_error = {{1}, (PyTypeObject*)&exc_type};
static PyObject exc_runtime_error = {{1}, (PyTypeObject*)&exc_type};
PyObject* PyExc_TypeError = &exc_type_error;
PyObject* PyExc_ValueError = &exc_value_error;
PyObject* PyExc_RuntimeError = &exc_runtime_error;
PyObject _Py_NoneStruct = {{1}, NULL};

void _Py_DecRef(PyObject* o) { (void)o; }
unsigned long PyType_GetFlags(PyTypeObject* t) { return ((Type*)t)->flags; }
PyObject* PyType_GetName(PyTypeObject* t) {
  const char* n = ((Type*)t)->name;
  return text(&str_type, n, (Py_ssize_t)strlen(n));
}

PyObject* PyUnicode_AsUTF8String(PyObject* s) {
  Text* t = (Text*)s;
  return text(&bytes_type, t->data, t->size);
}
char* PyBytes_AsString(PyObject* b) { return ((Text*)b)->data; }
int PyBytes_AsStringAndSize(PyObject* b, char** data, Py_ssize_t* size) {
  *data = ((Text*)b)->data;
  *size = ((Text*)b)->size;
  return 0;
}
Py_ssize_t PySequence_Size(PyObject* l) { return ((List*)l)->size; }
PyObject* PySequence_GetItem(PyObject* l, Py_ssize_t i) { return ((List*)l)->items[i]; }
PyObject* PyLong_FromLong(long v) {
  Int* i = (Int*)make(&int_type, sizeof(Int));
  i->value = v;
  return &i->ob;
}

PyObject* PyModule_Create2(PyModuleDef* def, int api) {
  if (api != PYTHON_ABI_VERSION) abort();
  Module* m = (Module*)make(&module_type, sizeof(Module));
  m->def = def;
  return &m->ob;
}
PyObject* PyModule_GetFilenameObject(PyObject* m) { return ((Module*)m)->file; }
int PyModule_AddStringConstant(PyObject* m, const char* name, const char* value) {
  (void)m;
  (void)name;
  (void)value;
  return 0;
}

/* No sys.stdout or sys.stderr to flush, so no method is ever called. */
PyObject* PySys_GetObject(const char* name) {
  (void)name;
  return NULL;
}
PyObject* _PyObject_CallMethod_SizeT(PyObject* o, const char* name, const char* format, ...) {
  (void)o, (void)name, (void)format;
  abort();
}

/* One thread, so nothing to hand over. */
PyThreadState* PyEval_SaveThread(void) { return (PyThreadState*)&_Py_NoneStruct; }
void PyEval_RestoreThread(PyThreadState* t) { (void)t; }

void PyErr_SetString(PyObject* type, const char* message) {
  err_type = type;
  snprintf(err_text, sizeof err_text, "%s", message);
}
PyObject* PyErr_Format(PyObject* type, const char* format, ...) {
  /* The format's %U arguments are objects; the text itself says enough. */
  PyErr_SetString(type, format);
  return NULL;
}
PyObject* PyErr_NoMemory(void) {
  PyErr_SetString(PyExc_RuntimeError, "out of memory");
  return NULL;
}
void PyErr_Clear(void) { err_type = NULL; }

/* What Python's import and call would do, reduced: load the module the way
   Python loads an extension (its own folder searched for its DLLs), run its
   init, call its main with `argv` as a list of str, and return the status,
   or -1 with a line on stderr when it raised or could not be loaded. */
__declspec(dllexport) int standin_run_main(const wchar_t* pyd, const char* pyd_utf8, int argc, char** argv) {
  HMODULE h = LoadLibraryExW(pyd, NULL, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
  if (!h) {
    fprintf(stderr, "standin: cannot load the module (error %lu)\n", GetLastError());
    return -1;
  }
  PyObject* (*init)(void) = (PyObject * (*)(void)) (void (*)(void))GetProcAddress(h, "PyInit__litert_host");
  if (!init) {
    fprintf(stderr, "standin: no PyInit__litert_host\n");
    return -1;
  }
  Module* m = (Module*)init();
  if (!m || strcmp(m->def->m_name, "velmora._kinra2._litert_host") != 0) {
    fprintf(stderr, "standin: init gave no module velmora._kinra2._litert_host\n");
    return -1;
  }
  m->file = text(&str_type, pyd_utf8, (Py_ssize_t)strlen(pyd_utf8));
  PyMethodDef* main_def = m->def->m_methods;
  while (main_def->ml_name && strcmp(main_def->ml_name, "main") != 0) ++main_def;
  if (!main_def->ml_name || main_def->ml_flags != METH_O) {
    fprintf(stderr, "standin: no main(argv)\n");
    return -1;
  }
  List* args = (List*)make(&list_type, sizeof(List));
  args->size = argc;
  args->items = calloc((size_t)argc + 1, sizeof(PyObject*));
  for (int i = 0; i < argc; ++i) args->items[i] = text(&str_type, argv[i], (Py_ssize_t)strlen(argv[i]));
  PyObject* r = main_def->ml_meth(&m->ob, &args->ob);
  if (!r) {
    fprintf(stderr, "standin: main raised %s: %s\n",
            err_type == PyExc_TypeError    ? "TypeError"
            : err_type == PyExc_ValueError ? "ValueError"
                                           : "RuntimeError",
            err_text);
    return -1;
  }
  return (int)((Int*)r)->value;
}
