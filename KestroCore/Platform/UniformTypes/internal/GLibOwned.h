#pragma once

// Owners of what GLib hands over: every string GIO returns is ours to free, every list of them
// ours to free with its elements. GLib is not linked; its functions come with GIO's (GIO.h), which
// is loaded before anything of this kind can exist.

#include "KestroCore/Platform/UniformTypes/internal/GIO.h"

#include <memory>

namespace kestro::glib {

struct FreeDeleter {
  void operator()(gchar* text) const noexcept { gio::functions().free(text); }
};
using OwnedString = std::unique_ptr<gchar, FreeDeleter>;

struct StringListDeleter {
  void operator()(GList* list) const noexcept {
    gio::functions().listFreeFull(list, gio::functions().free);
  }
};
using OwnedStringList = std::unique_ptr<GList, StringListDeleter>;

}  // namespace kestro::glib
