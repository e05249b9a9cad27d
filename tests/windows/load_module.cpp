// load_module MODULE INIT
//
// Loads a Python extension module as the interpreter does on Windows
// (LoadLibraryExW with LOAD_WITH_ALTERED_SEARCH_PATH: the DLLs beside the
// module are found first), finds its init function, and unloads the module
// without calling anything of it.  Says each step on standard output.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring Wide(const char* text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring wide(length > 0 ? length : 1, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
  wide.resize(wide.size() - 1);
  return wide;
}

int Fail(const char* step, const char* what) {
  std::printf("%s %s: error %lu\n", step, what, GetLastError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: load_module MODULE INIT\n");
    return 2;
  }
  // A missing DLL is reported here, not in a dialog.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  const std::wstring path = Wide(argv[1]);
  HMODULE module =
      LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) return Fail("LoadLibraryExW", argv[1]);
  std::printf("loaded %s at %p\n", argv[1], static_cast<void*>(module));
  FARPROC init = GetProcAddress(module, argv[2]);
  if (init == nullptr) {
    Fail("GetProcAddress", argv[2]);
    FreeLibrary(module);
    return 1;
  }
  std::printf("found %s at %p\n", argv[2], reinterpret_cast<void*>(init));
  if (!FreeLibrary(module)) return Fail("FreeLibrary", argv[1]);
  // Nothing else holds it: the module is gone from the process.
  if (GetModuleHandleW(path.c_str()) != nullptr) {
    std::printf("FreeLibrary left %s loaded\n", argv[1]);
    return 1;
  }
  std::printf("unloaded %s\n", argv[1]);
  return 0;
}
