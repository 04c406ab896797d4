#pragma once

// The few GIO functions the type system uses, from libgio loaded on first use. Most shares (a
// web address, a text) never look at the MIME database, and loading GIO with the libraries it
// pulls in (GObject, libmount, libselinux, ...) would cost a short-lived share target more time
// at start than the whole share takes otherwise.

#include <gio/gio.h>

namespace kestro::gio {

struct Functions {
  gchar* (*contentTypeGuess)(const gchar* filename, const guchar* data, gsize dataSize,
                             gboolean* resultUncertain);
  gboolean (*contentTypeIsA)(const gchar* type, const gchar* supertype);
  gboolean (*contentTypeIsUnknown)(const gchar* type);
  gchar* (*contentTypeGetMIMEType)(const gchar* type);
  GList* (*contentTypesGetRegistered)();
  // GLib's, found through GIO, which depends on it: for freeing what GIO returns.
  void (*free)(gpointer memory);
  void (*listFreeFull)(GList* list, GDestroyNotify freeElement);
};

// GIO's functions, loading the library the first time (thread-safe; it stays loaded for the
// life of the process). Throws std::runtime_error when libgio-2.0.so.0 cannot be loaded or lacks
// one of them, every time it is asked.
const Functions& functions();

}  // namespace kestro::gio
