#include "Platform/UniformTypes/internal/GIO.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace kestro::gio {
namespace {

constexpr const char* kLibrary = "libgio-2.0.so.0";

template <class Function>
void resolve(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  if (!function) {
    throw std::runtime_error(std::string("UTType: ") + kLibrary + " has no " + name);
  }
}

Functions load() {
  // Never closed: GIO keeps global state (its MIME cache) that outlives any one caller.
  void* library = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* reason = ::dlerror();
    throw std::runtime_error(std::string("UTType: cannot load ") + kLibrary + ": " +
                             (reason ? reason : "unknown error"));
  }
  Functions functions{};
  resolve(library, "g_content_type_guess", functions.contentTypeGuess);
  resolve(library, "g_content_type_is_a", functions.contentTypeIsA);
  resolve(library, "g_content_type_is_unknown", functions.contentTypeIsUnknown);
  resolve(library, "g_content_type_get_mime_type", functions.contentTypeGetMIMEType);
  resolve(library, "g_content_types_get_registered", functions.contentTypesGetRegistered);
  resolve(library, "g_free", functions.free);
  resolve(library, "g_list_free_full", functions.listFreeFull);
  return functions;
}

}  // namespace

const Functions& functions() {
  // A failed load throws out of the initialiser, which leaves it to be tried again next time.
  static const Functions loaded = load();
  return loaded;
}

}  // namespace kestro::gio
