#pragma once

// The few GIO and GLib functions the notifier uses, from libgio loaded when the first
// notification is sent: GDBus for the connection and the call, GVariant for the message. Loading
// GIO (with GObject and what it pulls in) costs more than a whole share takes otherwise, and most
// runs of a program never notify. Only non-variadic constructors are used, so that every argument
// is checked by the compiler.

#include <gio/gio.h>

namespace kestro::gdbus {

struct Functions {
  GDBusConnection* (*connectionNewForAddressSync)(const gchar* address, GDBusConnectionFlags flags,
                                                  GDBusAuthObserver* observer,
                                                  GCancellable* cancellable, GError** error);
  GVariant* (*connectionCallSync)(GDBusConnection* connection, const gchar* busName,
                                  const gchar* objectPath, const gchar* interfaceName,
                                  const gchar* methodName, GVariant* parameters,
                                  const GVariantType* replyType, GDBusCallFlags flags,
                                  gint timeoutMilliseconds, GCancellable* cancellable,
                                  GError** error);
  gboolean (*connectionIsClosed)(GDBusConnection* connection);
  void (*objectUnref)(gpointer object);
  GCancellable* (*cancellableNew)();
  void (*cancellableCancel)(GCancellable* cancellable);
  void (*errorFree)(GError* error);

  GVariant* (*newString)(const gchar* text);
  GVariant* (*newStrv)(const gchar* const* texts, gssize length);
  GVariant* (*newUint32)(guint32 value);
  GVariant* (*newInt32)(gint32 value);
  GVariant* (*newByte)(guchar value);
  GVariant* (*newVariant)(GVariant* value);
  GVariant* (*newDictEntry)(GVariant* key, GVariant* value);
  GVariant* (*newArray)(const GVariantType* childType, GVariant* const* children, gsize count);
  GVariant* (*newTuple)(GVariant* const* children, gsize count);
  GVariant* (*childValue)(GVariant* value, gsize index);
  gsize (*childCount)(GVariant* value);
  const gchar* (*getString)(GVariant* value, gsize* length);
  guint32 (*getUint32)(GVariant* value);
  void (*variantUnref)(GVariant* value);
  // What G_VARIANT_TYPE expands to: the type string as a type.
  const GVariantType* (*variantType)(const gchar* typeString);
};

// The functions, loading the library the first time (thread-safe; it stays loaded for the life of
// the process). Throws std::runtime_error when libgio-2.0.so.0 cannot be loaded or lacks one of
// them, every time it is asked.
const Functions& functions();

}  // namespace kestro::gdbus
