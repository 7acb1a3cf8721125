/* pyd_host <module.pyd> <argv[0]> [args...]: calls the module's main() with
   the arguments after the module, through the stand-in python3.dll, and exits
   with its status (125 when it raised or did not load). Arguments are taken
   from the wide command line as UTF-8, as Python would hand them over. */
#include <windows.h>

#include <shellapi.h>
#include <stdlib.h>

__declspec(dllimport) int standin_run_main(const wchar_t* pyd, const char* pyd_utf8, int argc, char** argv);

static char* utf8(const wchar_t* w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, NULL, 0, NULL, NULL);
  char* s = malloc((size_t)n);
  if (!s) abort();
  WideCharToMultiByte(CP_UTF8, 0, w, -1, s, n, NULL, NULL);
  return s;
}

int main(void) {
  int argc = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!wargv || argc < 3) return 124;
  wchar_t full[MAX_PATH];
  if (!GetFullPathNameW(wargv[1], MAX_PATH, full, NULL)) return 124;
  char** argv = calloc((size_t)argc, sizeof(char*));
  if (!argv) return 124;
  for (int i = 2; i < argc; ++i) argv[i - 2] = utf8(wargv[i]);
  int status = standin_run_main(full, utf8(full), argc - 2, argv);
  return status < 0 ? 125 : status;
}
