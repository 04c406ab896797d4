#pragma once

// Owners of what GLib hands over: every string GIO returns is ours to g_free, every list of them
// ours to free with its elements.

#include <glib.h>

#include <memory>

namespace kestro::glib {

struct FreeDeleter {
  void operator()(gchar* text) const noexcept { g_free(text); }
};
using OwnedString = std::unique_ptr<gchar, FreeDeleter>;

struct StringListDeleter {
  void operator()(GList* list) const noexcept { g_list_free_full(list, g_free); }
};
using OwnedStringList = std::unique_ptr<GList, StringListDeleter>;

}  // namespace kestro::glib
