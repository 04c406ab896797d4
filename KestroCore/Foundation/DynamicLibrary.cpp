#include "KestroCore/Foundation/DynamicLibrary.h"

#include <dlfcn.h>

#include <stdexcept>
#include <utility>

namespace kestro {

DynamicLibrary::DynamicLibrary(std::string soname)
    : soname_(std::move(soname)), handle_(::dlopen(soname_.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (!handle_) {
    const char* reason = ::dlerror();
    throw std::runtime_error("cannot load " + soname_ + ": " + (reason ? reason : "unknown error"));
  }
}

void* DynamicLibrary::symbol(const char* name) const {
  void* address = ::dlsym(handle_, name);
  if (!address) throw std::runtime_error(soname_ + " has no " + name);
  return address;
}

}  // namespace kestro
