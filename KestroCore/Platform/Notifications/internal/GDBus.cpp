#include "KestroCore/Platform/Notifications/internal/GDBus.h"

#include <stdexcept>
#include <string>

#include "KestroCore/Foundation/DynamicLibrary.h"

namespace kestro::gdbus {
namespace {

Functions load() {
  const DynamicLibrary library("libgio-2.0.so.0");
  Functions f{};
  library.resolve("g_dbus_connection_new_for_address_sync", f.connectionNewForAddressSync);
  library.resolve("g_dbus_connection_call_sync", f.connectionCallSync);
  library.resolve("g_dbus_connection_is_closed", f.connectionIsClosed);
  library.resolve("g_object_unref", f.objectUnref);
  library.resolve("g_cancellable_new", f.cancellableNew);
  library.resolve("g_cancellable_cancel", f.cancellableCancel);
  library.resolve("g_error_free", f.errorFree);
  library.resolve("g_variant_new_string", f.newString);
  library.resolve("g_variant_new_strv", f.newStrv);
  library.resolve("g_variant_new_uint32", f.newUint32);
  library.resolve("g_variant_new_int32", f.newInt32);
  library.resolve("g_variant_new_byte", f.newByte);
  library.resolve("g_variant_new_variant", f.newVariant);
  library.resolve("g_variant_new_dict_entry", f.newDictEntry);
  library.resolve("g_variant_new_array", f.newArray);
  library.resolve("g_variant_new_tuple", f.newTuple);
  library.resolve("g_variant_get_child_value", f.childValue);
  library.resolve("g_variant_n_children", f.childCount);
  library.resolve("g_variant_get_string", f.getString);
  library.resolve("g_variant_get_uint32", f.getUint32);
  library.resolve("g_variant_unref", f.variantUnref);
  library.resolve("g_variant_type_checked_", f.variantType);
  return f;
}

}  // namespace

const Functions& functions() {
  // A failed load throws out of the initialiser, which leaves it to be tried again next time.
  static const Functions loaded = [] {
    try {
      return load();
    } catch (const std::runtime_error& error) {
      throw std::runtime_error(std::string("notifications: ") + error.what());
    }
  }();
  return loaded;
}

}  // namespace kestro::gdbus
