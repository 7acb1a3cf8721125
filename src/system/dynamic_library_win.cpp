#include "system/dynamic_library.hpp"

#include "system/files.hpp"
#include "system/utf16_win.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kinra2::system {

DynamicLibrary::~DynamicLibrary() {
  if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
}

std::unique_ptr<DynamicLibrary> DynamicLibrary::open(const std::string& file, std::string& why) {
  // The library's own dependencies are looked for beside it too, and no
  // "cannot find DLL" box ever waits for a click.
  // That search needs an absolute path.
  const std::wstring wide = detail::widen(file);
  std::wstring full(GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr) + 1, L'\0');
  const DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  full.resize(n > 0 && n < full.size() ? n : 0);
  DWORD old_mode = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode);
  HMODULE h = LoadLibraryExW(full.empty() ? wide.c_str() : full.c_str(), nullptr,
                             LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  const DWORD e = GetLastError();
  SetThreadErrorMode(old_mode, nullptr);
  if (!h) {
    why = file + ": " + detail::win32_message(e);
    return nullptr;
  }
  return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(h));
}

void* DynamicLibrary::symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::string shared_library_file(std::string_view stem) {
  return std::string(stem) + ".dll";
}

std::string program_dir() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return ".";
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(buf.size() * 2);
  }
  const auto cut = buf.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return ".";
  return detail::narrow(std::wstring_view(buf).substr(0, cut));
}

namespace {

// The DLL names in the import directory of the PE image in `bytes`, read
// with every offset checked: the file is whatever lies in the folder.
std::vector<std::string> imported_dlls(const std::vector<unsigned char>& bytes) {
  std::vector<std::string> names;
  auto fits = [&](std::uint64_t off, std::uint64_t n) { return off <= bytes.size() && n <= bytes.size() - off; };
  auto get = [&](std::uint64_t off, auto& out) {
    if (!fits(off, sizeof out)) return false;
    std::memcpy(&out, bytes.data() + off, sizeof out);
    return true;
  };
  IMAGE_DOS_HEADER dos{};
  IMAGE_NT_HEADERS64 nt{};
  if (!get(0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || !get(dos.e_lfanew, nt) ||
      nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
      nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT) {
    return names;
  }
  const std::uint64_t sections = static_cast<std::uint64_t>(dos.e_lfanew) +
                                 offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                 nt.FileHeader.SizeOfOptionalHeader;
  // A relative virtual address as a file offset, through the section that holds it.
  auto file_offset = [&](std::uint32_t rva, std::uint64_t& off) {
    for (unsigned i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
      IMAGE_SECTION_HEADER sh{};
      if (!get(sections + i * sizeof sh, sh)) return false;
      if (rva >= sh.VirtualAddress && rva - sh.VirtualAddress < std::max(sh.SizeOfRawData, sh.Misc.VirtualSize)) {
        off = static_cast<std::uint64_t>(sh.PointerToRawData) + (rva - sh.VirtualAddress);
        return fits(off, 1);
      }
    }
    return false;
  };
  std::uint64_t desc = 0;
  const std::uint32_t dir = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  if (dir == 0 || !file_offset(dir, desc)) return names;
  for (IMAGE_IMPORT_DESCRIPTOR d{}; get(desc, d) && d.Name != 0 && names.size() < 256; desc += sizeof d) {
    std::uint64_t at = 0;
    if (!file_offset(d.Name, at)) break;
    const auto* s = reinterpret_cast<const char*>(bytes.data() + at);
    names.emplace_back(s, strnlen(s, bytes.size() - at));
  }
  return names;
}

}  // namespace

std::string missing_dependency(const std::string& file) {
  std::vector<unsigned char> bytes;
  File f = File::open_read(file);
  const auto st = f.ok() ? f.stat() : std::nullopt;
  // An import directory sits in the headers' first few megabytes of any DLL
  // worth loading; the cap only bounds what a stray file can cost.
  if (!st || !st->regular || st->size > (std::uint64_t{1} << 30)) return {};
  bytes.resize(static_cast<std::size_t>(st->size));
  if (f.pread(bytes.data(), bytes.size(), 0) != static_cast<std::ptrdiff_t>(bytes.size())) return {};
  const std::wstring wide = detail::widen(file);
  const std::wstring dir = wide.substr(0, wide.find_last_of(L"\\/") + 1);
  DWORD old_mode = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode);
  std::string missing;
  for (const std::string& name : imported_dlls(bytes)) {
    // Looked for where the loader would look for it: beside `file`, then
    // the program's and the system's folders. Every direct dependency is
    // tried: one that is there may still fail for lack of another (the C++
    // runtime's parts need each other), and a user missing a
    // redistributable is missing all of its files.
    const std::wstring wname = detail::widen(name);
    HMODULE h = nullptr;
    if (!dir.empty() && GetFileAttributesW((dir + wname).c_str()) != INVALID_FILE_ATTRIBUTES) {
      h = LoadLibraryExW((dir + wname).c_str(), nullptr,
                         LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    } else {
      h = LoadLibraryExW(wname.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    }
    if (h) {
      FreeLibrary(h);
    } else {
      missing += (missing.empty() ? "" : ", ") + name;
    }
  }
  SetThreadErrorMode(old_mode, nullptr);
  return missing;
}

}  // namespace kinra2::system
