#include "KestroCore/Platform/Keychain/SecretServiceKeychain.h"

#include <libsecret/secret.h>

#include <memory>
#include <string>
#include <vector>

#include "KestroCore/Foundation/Text.h"

namespace kestro {
namespace {

constexpr const char* kServiceObjectPath = "/org/freedesktop/secrets";
constexpr const char* kServiceInterface = "org.freedesktop.Secret.Service";
constexpr const char* kPromptInterface = "org.freedesktop.Secret.Prompt";
constexpr const char* kDefaultCollectionAlias = "default";
// How long an unlock prompt may stay unanswered before the keychain gives up on it.
constexpr guint kPromptLimitSeconds = 300;

// Our items: attributes "service" and "account", and the schema name in "xdg:schema".
// SECRET_SCHEMA_DONT_MATCH_NAME makes searches match the two attributes only, so items that
// other programs stored with them (secret-tool writes no schema name) count as ours; the name
// only says who wrote an item.
const SecretSchema kSchema = {
    "org.kestro.Token",
    SECRET_SCHEMA_DONT_MATCH_NAME,
    {
        {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
    },
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// ---- Owners of the GLib and libsecret handles

// The GError out-parameter of a call, freed when the slot goes.
class ErrorSlot {
 public:
  ErrorSlot() = default;
  ~ErrorSlot() {
    if (error_ != nullptr) g_error_free(error_);
  }
  ErrorSlot(const ErrorSlot&) = delete;
  ErrorSlot& operator=(const ErrorSlot&) = delete;

  GError** out() noexcept { return &error_; }
  const GError* get() const noexcept { return error_; }
  explicit operator bool() const noexcept { return error_ != nullptr; }

 private:
  GError* error_ = nullptr;
};

struct ObjectUnref {
  void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
template <class T>
using ObjectPtr = std::unique_ptr<T, ObjectUnref>;

struct HashTableUnref {
  void operator()(GHashTable* table) const noexcept { g_hash_table_unref(table); }
};
struct ValueUnref {
  void operator()(SecretValue* value) const noexcept { secret_value_unref(value); }
};
struct VariantUnref {
  void operator()(GVariant* variant) const noexcept { g_variant_unref(variant); }
};
struct ItemListFree {
  void operator()(GList* items) const noexcept { g_list_free_full(items, g_object_unref); }
};
struct StringFree {
  void operator()(gchar* text) const noexcept { g_free(text); }
};
using ItemList = std::unique_ptr<GList, ItemListFree>;

// The main context of one keychain operation, made the thread's default for its duration, so
// that the proxies and signal subscriptions of the operation deliver into it and nowhere else
// (the process may run no GLib main loop at all). When it goes, whatever was queued on it is
// dispatched, so the library's deferred cleanups run, and it is released. Declare it before
// every object of the operation so that it outlives them.
class OperationContext {
 public:
  OperationContext() : context_(g_main_context_new()) {
    g_main_context_push_thread_default(context_);
  }
  ~OperationContext() {
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }
  OperationContext(const OperationContext&) = delete;
  OperationContext& operator=(const OperationContext&) = delete;

  GMainContext* get() const noexcept { return context_; }

 private:
  GMainContext* context_;
};

// ---- The one translation of a GError into a status

std::int32_t statusFor(const GError& error) {
  if (error.domain == SECRET_ERROR) {
    switch (error.code) {
      case SECRET_ERROR_IS_LOCKED:
        return kKeychainStatusLocked;
      case SECRET_ERROR_NO_SUCH_OBJECT:
        // The item went away between finding it and using it.
        return kKeychainStatusItemNotFound;
      default:
        return kKeychainStatusServiceError;
    }
  }
  // The transport: no bus address, no socket, a refused or closed connection.
  if (error.domain == G_IO_ERROR) return kKeychainStatusNotAvailable;
  if (error.domain == G_DBUS_ERROR) {
    switch (error.code) {
      case G_DBUS_ERROR_SERVICE_UNKNOWN:
      case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
      case G_DBUS_ERROR_NO_SERVER:
      case G_DBUS_ERROR_DISCONNECTED:
      case G_DBUS_ERROR_NO_REPLY:
      case G_DBUS_ERROR_TIMEOUT:
      case G_DBUS_ERROR_TIMED_OUT:
      case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
      case G_DBUS_ERROR_SPAWN_FORK_FAILED:
      case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
      case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
      case G_DBUS_ERROR_SPAWN_FAILED:
      case G_DBUS_ERROR_SPAWN_SETUP_FAILED:
      case G_DBUS_ERROR_SPAWN_CONFIG_INVALID:
      case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
      case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
      case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
      case G_DBUS_ERROR_SPAWN_FILE_INVALID:
      case G_DBUS_ERROR_SPAWN_NO_MEMORY:
        return kKeychainStatusNotAvailable;
      default:
        return kKeychainStatusServiceError;
    }
  }
  return kKeychainStatusServiceError;
}

// ---- Steps shared by the operations

std::unique_ptr<GHashTable, HashTableUnref> attributesFor(std::string_view service,
                                                          std::string_view account) {
  std::unique_ptr<GHashTable, HashTableUnref> attributes(
      g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  g_hash_table_insert(attributes.get(), g_strdup("service"),
                      g_strndup(service.data(), service.size()));
  g_hash_table_insert(attributes.get(), g_strdup("account"),
                      g_strndup(account.data(), account.size()));
  return attributes;
}

std::vector<std::string> lockedPaths(GList* items) {
  std::vector<std::string> paths;
  for (GList* entry = items; entry != nullptr; entry = entry->next) {
    auto* item = static_cast<SecretItem*>(entry->data);
    if (secret_item_get_locked(item)) {
      paths.emplace_back(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)));
    }
  }
  return paths;
}

// What the prompt's signals and the bus watch report while it runs.
struct PromptOutcome {
  bool finished = false;
  bool dismissed = false;
  bool serviceVanished = false;
  bool timedOut = false;
};

void onPromptCompleted(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer data) {
  auto* outcome = static_cast<PromptOutcome*>(data);
  gboolean dismissed = TRUE;
  if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(bv)"))) {
    g_variant_get(parameters, "(bv)", &dismissed, nullptr);
  }
  outcome->dismissed = dismissed;
  outcome->finished = true;
}

void onServiceVanished(GDBusConnection*, const gchar*, gpointer data) {
  auto* outcome = static_cast<PromptOutcome*>(data);
  outcome->serviceVanished = true;
  outcome->finished = true;
}

gboolean onPromptTimeout(gpointer data) {
  auto* outcome = static_cast<PromptOutcome*>(data);
  outcome->timedOut = true;
  outcome->finished = true;
  return G_SOURCE_REMOVE;
}

// Shows the service's prompt at `promptPath` and waits for its answer, the service's
// departure or the time limit.
std::int32_t runPrompt(const OperationContext& context, GDBusConnection* connection,
                       const char* serviceOwner, const char* promptPath) {
  PromptOutcome outcome;
  const guint subscription = g_dbus_connection_signal_subscribe(
      connection, serviceOwner, kPromptInterface, "Completed", promptPath, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, onPromptCompleted, &outcome, nullptr);
  const guint watch =
      g_bus_watch_name_on_connection(connection, serviceOwner, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                     nullptr, onServiceVanished, &outcome, nullptr);
  GSource* timer = g_timeout_source_new_seconds(kPromptLimitSeconds);
  g_source_set_callback(timer, onPromptTimeout, &outcome, nullptr);
  g_source_attach(timer, context.get());

  ErrorSlot error;
  std::unique_ptr<GVariant, VariantUnref> reply(g_dbus_connection_call_sync(
      connection, serviceOwner, promptPath, kPromptInterface, "Prompt", g_variant_new("(s)", ""),
      nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, error.out()));
  while (!error && !outcome.finished) g_main_context_iteration(context.get(), TRUE);

  g_source_destroy(timer);
  g_source_unref(timer);
  g_bus_unwatch_name(watch);
  g_dbus_connection_signal_unsubscribe(connection, subscription);
  // Anything the subscription or the watch still queued runs now, while `outcome` lives.
  while (g_main_context_iteration(context.get(), FALSE)) {
  }

  if (error) return statusFor(*error.get());
  if (outcome.serviceVanished) return kKeychainStatusNotAvailable;
  if (outcome.timedOut) {
    // Take the prompt off the screen; its answer no longer matters.
    ErrorSlot ignored;
    std::unique_ptr<GVariant, VariantUnref> dismissReply(g_dbus_connection_call_sync(
        connection, serviceOwner, promptPath, kPromptInterface, "Dismiss", nullptr, nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, ignored.out()));
    return kKeychainStatusLocked;
  }
  return outcome.dismissed ? kKeychainStatusUserCanceled : kKeychainStatusSuccess;
}

// One operation on the service: the steps that the three operations share, with the
// interaction setting at hand.
class SecretServiceSession {
 public:
  explicit SecretServiceSession(KeychainInteraction interaction) : interaction_(interaction) {}

  // Connects to the service, with a session for carrying secrets. A new connection every
  // time: nothing is kept between operations.
  std::int32_t open() {
    ErrorSlot error;
    service_.reset(secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr,
                                            SECRET_SERVICE_OPEN_SESSION, nullptr, error.out()));
    if (error) return statusFor(*error.get());
    return service_ ? kKeychainStatusSuccess : kKeychainStatusServiceError;
  }

  // Asks the service to unlock `paths` (items or collections). Success means the service
  // finished without the user dismissing anything; the caller looks again to see what is
  // unlocked now.
  std::int32_t unlock(const std::vector<std::string>& paths) {
    if (interaction_ == KeychainInteraction::notAllowed) return kKeychainStatusLocked;
    std::vector<const char*> pathPointers;
    for (const auto& path : paths) pathPointers.push_back(path.c_str());
    pathPointers.push_back(nullptr);
    return callPrompting("Unlock", g_variant_new("(^ao)", pathPointers.data()), "(aoo)");
  }

  // Creates the default collection; the service asks the user for its password.
  std::int32_t createDefaultCollection() {
    if (interaction_ == KeychainInteraction::notAllowed) return kKeychainStatusLocked;
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                          g_variant_new_string("Default keyring"));
    return callPrompting("CreateCollection",
                         g_variant_new("(a{sv}s)", &properties, kDefaultCollectionAlias), "(oo)");
  }

  // The items for the attributes, every one of them unlocked, as the interaction setting
  // allows. An empty list when there is none, which is believed only while the default
  // collection (where new items go) is unlocked: GNOME Keyring finds items in locked
  // collections too, but not every Secret Service does, and a locked keyring must never pass
  // for an empty one.
  std::int32_t findUnlockedItems(GHashTable* attributes, ItemList& items) {
    if (const auto status = findItems(attributes, items)) return status;
    auto locked = lockedPaths(items.get());
    if (!items) {
      if (const auto status = addLockedDefaultCollection(locked)) return status;
    }
    if (locked.empty()) return kKeychainStatusSuccess;
    if (const auto status = unlock(locked)) return status;
    // Fresh proxies: the service changed the items' state behind the old ones.
    if (const auto status = findItems(attributes, items)) return status;
    auto stillLocked = lockedPaths(items.get());
    if (!items) {
      if (const auto status = addLockedDefaultCollection(stillLocked)) return status;
    }
    return stillLocked.empty() ? kKeychainStatusSuccess : kKeychainStatusLocked;
  }

  // Appends the default collection's path to `paths` when there is one and it is locked.
  std::int32_t addLockedDefaultCollection(std::vector<std::string>& paths) {
    ObjectPtr<SecretCollection> collection;
    if (const auto status = readDefaultCollection(collection)) return status;
    if (collection && secret_collection_get_locked(collection.get())) {
      paths.emplace_back(g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection.get())));
    }
    return kKeychainStatusSuccess;
  }

  // The default collection, unlocked; created first when there is none.
  std::int32_t defaultCollection(ObjectPtr<SecretCollection>& collection) {
    if (const auto status = readDefaultCollection(collection)) return status;
    if (!collection) {
      if (const auto status = createDefaultCollection()) return status;
      if (const auto status = readDefaultCollection(collection)) return status;
      if (!collection) return kKeychainStatusServiceError;
    }
    if (!secret_collection_get_locked(collection.get())) return kKeychainStatusSuccess;
    if (const auto status =
            unlock({g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection.get()))})) {
      return status;
    }
    if (const auto status = readDefaultCollection(collection)) return status;
    return collection && !secret_collection_get_locked(collection.get()) ? kKeychainStatusSuccess
                                                                         : kKeychainStatusLocked;
  }

 private:
  // Every item for the attributes, in any collection, locked or not. Nothing is unlocked here.
  std::int32_t findItems(GHashTable* attributes, ItemList& items) {
    ErrorSlot error;
    items.reset(secret_service_search_sync(service_.get(), &kSchema, attributes, SECRET_SEARCH_ALL,
                                           nullptr, error.out()));
    if (error) return statusFor(*error.get());
    return kKeychainStatusSuccess;
  }

  // The default collection as the service sees it now, or null when there is none.
  std::int32_t readDefaultCollection(ObjectPtr<SecretCollection>& collection) {
    ErrorSlot error;
    collection.reset(secret_collection_for_alias_sync(
        service_.get(), kDefaultCollectionAlias, SECRET_COLLECTION_NONE, nullptr, error.out()));
    if (error) return statusFor(*error.get());
    return kKeychainStatusSuccess;
  }

  // Calls `method` of the service, whose reply ends with the path of a prompt ("/" for none),
  // and runs that prompt. libsecret would run it too, but reports a dismissed prompt as if
  // nothing had been asked (or as a missing object), and the caller must tell them apart.
  std::int32_t callPrompting(const char* method, GVariant* arguments, const char* replyType) {
    GDBusProxy* proxy = G_DBUS_PROXY(service_.get());
    GDBusConnection* connection = g_dbus_proxy_get_connection(proxy);
    const std::unique_ptr<gchar, StringFree> owner(g_dbus_proxy_get_name_owner(proxy));
    if (!owner) {
      g_variant_unref(g_variant_ref_sink(arguments));
      return kKeychainStatusNotAvailable;
    }
    ErrorSlot error;
    const std::unique_ptr<GVariant, VariantUnref> reply(g_dbus_connection_call_sync(
        connection, owner.get(), kServiceObjectPath, kServiceInterface, method, arguments,
        G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, error.out()));
    if (error) return statusFor(*error.get());
    const std::unique_ptr<GVariant, VariantUnref> prompt(
        g_variant_get_child_value(reply.get(), g_variant_n_children(reply.get()) - 1));
    const gchar* promptPath = g_variant_get_string(prompt.get(), nullptr);
    if (g_strcmp0(promptPath, "/") == 0) return kKeychainStatusSuccess;
    return runPrompt(context_, connection, owner.get(), promptPath);
  }

  // First member: outlives the proxies below.
  OperationContext context_;
  KeychainInteraction interaction_;
  ObjectPtr<SecretService> service_;
};

}  // namespace

std::int32_t SecretServiceKeychain::add(std::string_view service, std::string_view account,
                                        std::string_view data) {
  if (!isValidKeychainAttribute(service) || !isValidKeychainAttribute(account)) {
    return kKeychainStatusInvalidParameter;
  }
  SecretServiceSession session(interaction_);
  if (const auto status = session.open()) return status;
  const auto attributes = attributesFor(service, account);
  const std::unique_ptr<SecretValue, ValueUnref> value(
      secret_value_new(data.data(), static_cast<gssize>(data.size()),
                       isValidUTF8(data) ? "text/plain" : "application/octet-stream"));

  ItemList items;
  if (const auto status = session.findUnlockedItems(attributes.get(), items)) return status;
  if (items) {
    // Each item's value is replaced in one call to the service: it holds the old value or the
    // new one, never none.
    for (GList* entry = items.get(); entry != nullptr; entry = entry->next) {
      ErrorSlot error;
      secret_item_set_secret_sync(static_cast<SecretItem*>(entry->data), value.get(), nullptr,
                                  error.out());
      if (error) return statusFor(*error.get());
    }
    return kKeychainStatusSuccess;
  }

  ObjectPtr<SecretCollection> collection;
  if (const auto status = session.defaultCollection(collection)) return status;
  const std::string label = std::string(service) + " (" + std::string(account) + ")";
  ErrorSlot error;
  // Replace: should another program have created the same item meanwhile, the service swaps its
  // value rather than adding a second item.
  const ObjectPtr<SecretItem> item(
      secret_item_create_sync(collection.get(), &kSchema, attributes.get(), label.c_str(),
                              value.get(), SECRET_ITEM_CREATE_REPLACE, nullptr, error.out()));
  if (error) return statusFor(*error.get());
  return item ? kKeychainStatusSuccess : kKeychainStatusServiceError;
}

KeychainCopyResult SecretServiceKeychain::copyMatching(std::string_view service,
                                                       std::string_view account) {
  if (!isValidKeychainAttribute(service) || !isValidKeychainAttribute(account)) {
    return {kKeychainStatusInvalidParameter, std::nullopt};
  }
  SecretServiceSession session(interaction_);
  if (const auto status = session.open()) return {status, std::nullopt};
  const auto attributes = attributesFor(service, account);
  ItemList items;
  if (const auto status = session.findUnlockedItems(attributes.get(), items)) {
    return {status, std::nullopt};
  }
  if (!items) return {kKeychainStatusItemNotFound, std::nullopt};

  auto* item = static_cast<SecretItem*>(items->data);
  ErrorSlot error;
  secret_item_load_secret_sync(item, nullptr, error.out());
  if (error) return {statusFor(*error.get()), std::nullopt};
  const std::unique_ptr<SecretValue, ValueUnref> value(secret_item_get_secret(item));
  // The service hands out no secret for an item locked again since it was found.
  if (!value) return {kKeychainStatusLocked, std::nullopt};
  gsize length = 0;
  const gchar* bytes = secret_value_get(value.get(), &length);
  return {kKeychainStatusSuccess, std::string(bytes, length)};
}

std::int32_t SecretServiceKeychain::deleteMatching(std::string_view service,
                                                   std::string_view account) {
  if (!isValidKeychainAttribute(service) || !isValidKeychainAttribute(account)) {
    return kKeychainStatusInvalidParameter;
  }
  SecretServiceSession session(interaction_);
  if (const auto status = session.open()) return status;
  const auto attributes = attributesFor(service, account);
  ItemList items;
  if (const auto status = session.findUnlockedItems(attributes.get(), items)) return status;
  if (!items) return kKeychainStatusItemNotFound;
  for (GList* entry = items.get(); entry != nullptr; entry = entry->next) {
    ErrorSlot error;
    secret_item_delete_sync(static_cast<SecretItem*>(entry->data), nullptr, error.out());
    if (error) return statusFor(*error.get());
  }
  return kKeychainStatusSuccess;
}

}  // namespace kestro
