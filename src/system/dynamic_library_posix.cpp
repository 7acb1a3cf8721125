#include "system/dynamic_library.hpp"

#include "system/files.hpp"

#include <dlfcn.h>

#include <filesystem>

namespace kinra2::system {

DynamicLibrary::~DynamicLibrary() {
  if (handle_) ::dlclose(handle_);
}

std::unique_ptr<DynamicLibrary> DynamicLibrary::open(const std::string& file, std::string& why) {
  ::dlerror();
  void* h = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* e = ::dlerror();
    why = e ? e : (file + ": cannot be loaded");
    return nullptr;
  }
  return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(h));
}

void* DynamicLibrary::symbol(const char* name) const {
  return ::dlsym(handle_, name);
}

std::string shared_library_file(std::string_view stem) {
  return "lib" + std::string(stem) + ".so";
}

std::string program_dir() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

std::string missing_dependency(const std::string&) {
  // dlerror() names the missing library itself.
  return {};
}

}  // namespace kinra2::system
