#include "KestroCore/Platform/UniformTypes/internal/GIO.h"

#include <stdexcept>
#include <string>

#include "KestroCore/Foundation/DynamicLibrary.h"

namespace kestro::gio {
namespace {

Functions load() {
  const DynamicLibrary library("libgio-2.0.so.0");
  Functions functions{};
  library.resolve("g_content_type_guess", functions.contentTypeGuess);
  library.resolve("g_content_type_is_a", functions.contentTypeIsA);
  library.resolve("g_content_type_is_unknown", functions.contentTypeIsUnknown);
  library.resolve("g_content_type_get_mime_type", functions.contentTypeGetMIMEType);
  library.resolve("g_content_types_get_registered", functions.contentTypesGetRegistered);
  library.resolve("g_free", functions.free);
  library.resolve("g_list_free_full", functions.listFreeFull);
  return functions;
}

}  // namespace

const Functions& functions() {
  // A failed load throws out of the initialiser, which leaves it to be tried again next time.
  static const Functions loaded = [] {
    try {
      return load();
    } catch (const std::runtime_error& error) {
      throw std::runtime_error(std::string("UTType: ") + error.what());
    }
  }();
  return loaded;
}

}  // namespace kestro::gio
