#include "Tools/kestro/Commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <utility>
#include <variant>

#include "KestroCore/Application/ApplicationError.h"
#include "KestroCore/Application/Chat.h"
#include "KestroCore/Application/Durations.h"
#include "KestroCore/Application/OutboxFlush.h"
#include "KestroCore/Application/OutboxMaintenance.h"
#include "KestroCore/Application/QuickCapture.h"
#include "KestroCore/Application/RecordDescription.h"
#include "KestroCore/Application/ServerAccount.h"
#include "KestroCore/Application/Synchronizer.h"
#include "KestroCore/Application/TransferMeter.h"
#include "KestroCore/Foundation/Text.h"
#include "KestroCore/Platform/Files/FileLock.h"
#include "KestroCore/Platform/Keychain/InMemoryKeychain.h"
#include "Tools/kestro/DesktopTools.h"
#include "Tools/kestro/Output.h"
#include "Tools/kestro/TokenStorage.h"

namespace kestro::commands {
namespace {

namespace fs = std::filesystem;

Date now() { return std::chrono::system_clock::now(); }

std::string plural(std::size_t count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::size_t countStanding(const std::vector<OutboxRecord>& records,
                          bool (*counts)(RecordStanding)) {
  return static_cast<std::size_t>(std::count_if(records.begin(), records.end(), [&](const auto& r) {
    return counts(describeRecord(r, Date{}).standing);
  }));
}

// The captures still on their way from this device: neither sent nor cancelled, nor set aside
// by the user (those stay, but wait for nothing).
std::size_t waitingCount(const std::vector<OutboxRecord>& records) {
  return countStanding(records, [](RecordStanding standing) {
    return standing != RecordStanding::sent && standing != RecordStanding::cancelled &&
           standing != RecordStanding::needsAttention;
  });
}

std::size_t setAsideCount(const std::vector<OutboxRecord>& records) {
  return countStanding(
      records, [](RecordStanding standing) { return standing == RecordStanding::needsAttention; });
}

// The signed-in user, for commands that only look at this device: the keyring is not asked.
UUID requireUser(const Application& application) {
  const std::optional<UUID> userId = application.places().signedInUser();
  if (!userId) throw notSignedInError();
  return *userId;
}

}  // namespace

// --- The shared pieces

Application::Application(GlobalOptions options)
    : options_(options), places_(ApplicationPlaces::current()) {}

const Session& Application::session() {
  if (!session_) {
    SecureTokenStore tokens =
        options_.noKeyring
            ? SecureTokenStore(std::string(kTokenService), std::make_shared<InMemoryKeychain>())
            : SecureTokenStore(std::string(kTokenService));
    session_.emplace(places_, std::move(tokens), makeURLSession());
  }
  return *session_;
}

OutboxStore& Application::store() { return *sharedStore(); }

std::shared_ptr<OutboxStore> Application::sharedStore() {
  if (!store_) store_ = std::make_shared<OutboxStore>(places_.databaseURL());
  return store_;
}

SyncCache& Application::cache() {
  if (!cache_) cache_ = std::make_unique<SyncCache>(places_.databaseURL());
  return *cache_;
}

std::string versionText() { return "kestro " + ApplicationPlaces::current().applicationVersion(); }

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    if (!text.empty()) text += ' ';
    text += word;
  }
  return text;
}

int reportFailure(const std::exception_ptr& error) {
  const ErrorReport report = reportError(error);
  std::fprintf(stderr, "kestro: %s\n", shown(report.message).c_str());
  return static_cast<int>(report.status);
}

// --- signin, signout, status

int signIn(Application& application, const std::string& server, const std::string& email,
           bool allowInsecureHTTP, bool insecureStorage, bool json) {
  const TokenStorage storage = chosenTokenStorage(application, insecureStorage);
  const Session& session = application.session();
  const AccountSettings before = session.settings();
  const SignedInAccount account =
      session.signIn(Session::serverOrigin(server), email, allowInsecureHTTP, storage);
  // The previous account's captures stay on this device, to be sent when it signs in again;
  // the user must not think them sent, or lost.
  std::optional<std::size_t> previousWaiting;
  if (before.userId && *before.userId != account.userId) {
    previousWaiting = waitingCount(application.store().all(*before.userId));
  }
  if (json) {
    JSON document{{"email", account.email},
                  {"server", account.server.absoluteString()},
                  {"userId", account.userId.uuidString()}};
    if (previousWaiting) {
      document["previousAccount"] = JSON{{"userId", before.userId->uuidString()},
                                         {"email", before.email.value_or("")},
                                         {"waiting", *previousWaiting}};
    }
    printJSON(document);
  } else {
    std::printf("Signed in as %s at %s.\n", shown(account.email).c_str(),
                shown(account.server.absoluteString()).c_str());
    if (previousWaiting && *previousWaiting > 0) {
      const std::string previous =
          before.email && !before.email->empty() ? " (" + shown(*before.email) + ")" : "";
      std::printf(
          "%s of the previous account%s still on this device: %s kept, and sent when that "
          "account signs in again.\n",
          plural(*previousWaiting, "capture", "captures").c_str(), previous.c_str(),
          *previousWaiting == 1 ? "it is" : "they are");
    }
  }
  if (application.options().noKeyring) {
    std::fprintf(stderr, "kestro: --no-keyring: the token is not kept after this command\n");
  }
  if (insecureStorage) std::fprintf(stderr, "kestro: %s\n", tokenFileWarning(session).c_str());
  return 0;
}

int signOut(Application& application) {
  const Session& session = application.session();
  const std::optional<UUID> userId = session.settings().userId;
  const std::size_t waiting = userId ? waitingCount(application.store().all(*userId)) : 0;
  session.signOut();
  if (waiting > 0) {
    std::printf(
        "Signed out. %s of this account stay on this device, and are sent when it signs in "
        "again; sharing needs a new sign-in.\n",
        plural(waiting, "capture", "captures").c_str());
  } else {
    std::printf(
        "Signed out. Captures already on this device stay there; sharing needs a new "
        "sign-in.\n");
  }
  return 0;
}

int showStatus(Application& application, bool json) {
  const Session& session = application.session();
  const AccountSettings settings = session.settings();
  std::optional<SignedInAccount> account;
  std::optional<std::string> problem;
  try {
    account = session.requireSignedIn();
  } catch (const ApplicationError& error) {
    // A token file that cannot be read is a failure to report, not a sign-out.
    if (error.status() != ExitStatus::notSignedIn) throw;
    problem = error.what();
  }
  const bool inFile = session.tokenStorage() == TokenStorage::file;
  std::vector<OutboxRecord> records;
  if (settings.userId) records = application.store().all(*settings.userId);
  const std::size_t waiting = waitingCount(records);
  const std::size_t setAside = setAsideCount(records);

  if (json) {
    JSON document{{"signedIn", account.has_value()}, {"waiting", waiting}, {"setAside", setAside}};
    if (settings.email) document["email"] = *settings.email;
    if (settings.server) document["server"] = settings.server->absoluteString();
    if (settings.userId) document["userId"] = settings.userId->uuidString();
    document["tokenStorage"] = tokenStorageName(application);
    if (inFile) document["tokenFile"] = session.tokenFile().string();
    printJSON(document);
  } else if (account) {
    std::printf("Signed in as %s at %s (user %s).\n",
                account->email.empty() ? "an unnamed account" : shown(account->email).c_str(),
                shown(account->server.absoluteString()).c_str(),
                account->userId.uuidString().c_str());
    std::printf("%s on this device.\n",
                waiting == 0 ? "No captures wait"
                             : (plural(waiting, "capture waits", "captures wait")).c_str());
    if (setAside > 0) {
      std::printf("%s set aside (kestro outbox shows %s).\n",
                  plural(setAside, "capture is", "captures are").c_str(),
                  setAside == 1 ? "it" : "them");
    }
    if (inFile) std::printf("Warning: %s.\n", tokenFileWarning(session).c_str());
  } else {
    std::printf("Not signed in%s.\n", !settings.userId ? ""
                                      : inFile ? " (the token file holds no token for this account)"
                                               : " (the keyring holds no token for this account)");
    if (waiting > 0) {
      std::printf("%s on this device for the last account.\n",
                  plural(waiting, "capture waits", "captures wait").c_str());
    }
  }
  return account ? 0 : static_cast<int>(ExitStatus::notSignedIn);
}

// --- outbox

int listOutbox(Application& application, bool json) {
  const UUID user = requireUser(application);
  const std::vector<OutboxRecord> records = application.store().all(user);
  const std::map<UUID, OutboxLastFailure> failures = application.store().lastFailures(user);
  const auto lastFailure = [&](const OutboxRecord& record) -> const OutboxLastFailure* {
    const auto found = failures.find(record.id());
    return found != failures.end() && found->second.describes(record) ? &found->second : nullptr;
  };
  if (json) {
    // The record as stored, and beside it what the record has no place for.
    JSON list = JSON::array();
    for (const OutboxRecord& record : records) {
      JSON entry = encodeJSON(record);
      if (const OutboxLastFailure* failure = lastFailure(record)) {
        entry["lastFailure"] = JSON{{"code", failure->code},
                                    {"message", failure->details.message},
                                    {"retryable", failure->details.retryable}};
      }
      list.push_back(std::move(entry));
    }
    printJSON(list);
    return 0;
  }
  if (records.empty()) {
    std::printf("The outbox is empty: nothing was captured on this device for this account.\n");
    return 0;
  }
  const Painter paint;
  const Date at = now();
  bool refused = false;
  for (const OutboxRecord& record : records) {
    const OutboxLastFailure* failure = lastFailure(record);
    const RecordDescription description = describeRecord(record, at, failure);
    std::printf("%s  %-8s  %s  %s\n", shortIdentifier(record.id()).c_str(),
                formatLocalTime(record.capture.capturedAt, at).c_str(),
                padded(shown(captureSummary(record, 44)), 44).c_str(),
                paint(shown(description.text), colourOf(description.standing)).c_str());
    if (description.standing == RecordStanding::refused) {
      refused = true;
      std::printf(
          "          %s\n",
          paint("the server said: " + shown(failure->details.message), Colour::dim).c_str());
    }
  }
  if (refused) {
    std::printf(
        "A capture the server refuses is tried again all the same; to stop it: kestro outbox "
        "set-aside ID (then kestro outbox export ID DIR keeps it).\n");
  }
  return 0;
}

int pruneOutbox(Application& application, const std::string& olderThan, bool json) {
  const std::chrono::seconds age = parseDuration(olderThan);
  const PruneReport report =
      kestro::pruneOutbox(application.store(), application.places().storageDirectory(), age, now());
  if (json) {
    JSON records = JSON::array(), directories = JSON::array();
    for (const UUID& id : report.removedRecords) records.push_back(id.uuidString());
    for (const fs::path& path : report.removedDirectories) directories.push_back(path.string());
    printJSON(JSON{{"removedRecords", records},
                   {"removedFiles", report.removedFiles.size()},
                   {"removedDirectories", directories},
                   {"freedBytes", report.freedBytes}});
    return 0;
  }
  std::printf(
      "Removed %s, %s and %s (%s) older than %s.\n",
      plural(report.removedRecords.size(), "sent or cancelled capture",
             "sent or cancelled captures")
          .c_str(),
      plural(report.removedFiles.size(), "file", "files").c_str(),
      plural(report.removedDirectories.size(), "staging directory", "staging directories").c_str(),
      formatBytes(report.freedBytes).c_str(), formatDuration(age).c_str());
  return 0;
}

int retryRecord(Application& application, const std::string& id) {
  OutboxStore& store = application.store();
  const std::vector<OutboxRecord> records = store.all(requireUser(application));
  const OutboxRecord& record = findRecord(records, id);
  retryNow(store, record, now());
  try {
    publishOutboxChange(application.places());
  } catch (const std::exception&) {
    // Due all the same: the next flush takes it.
  }
  std::printf(
      "Capture %s will be sent at the next flush (a running kestro flush --watch sends "
      "it now).\n",
      shortIdentifier(record.id()).c_str());
  return 0;
}

int setAsideRecord(Application& application, const std::string& id) {
  OutboxStore& store = application.store();
  // No flush may move the capture on between the look at its state and the change: one that
  // had the server accept it meanwhile would leave a sent capture set aside.
  const fs::path lockFile = flushLockFile(application.places().storageDirectory());
  std::optional<FileLock> noFlush = FileLock::tryAcquire(lockFile);
  if (!noFlush) {
    std::fprintf(stderr, "kestro: a flush of this outbox is under way; waiting for it to end\n");
    noFlush.emplace(FileLock::acquire(lockFile));
  }
  const std::vector<OutboxRecord> records = store.all(requireUser(application));
  const OutboxRecord& record = findRecord(records, id);
  setAside(store, record);
  const std::string shortId = shortIdentifier(record.id());
  std::printf(
      "Capture %s is set aside: it will not be sent, and stays on this device as needing "
      "attention. Keep it with: kestro outbox export %s DIR\n",
      shortId.c_str(), shortId.c_str());
  return 0;
}

int exportOutboxRecord(Application& application, const std::string& id,
                       const std::string& directory) {
  const std::vector<OutboxRecord> records = application.store().all(requireUser(application));
  const OutboxRecord& record = findRecord(records, id);
  const ExportReport report = exportRecord(record, fs::absolute(directory));
  std::printf("Exported capture %s to %s (%s).\n", shortIdentifier(record.id()).c_str(),
              shown(report.directory.string()).c_str(),
              plural(report.copiedFiles.size(), "file", "files").c_str());
  for (const std::string& missing : report.missingFiles) {
    std::fprintf(stderr, "kestro: %s was no longer on this device and is not in the export\n",
                 shown(missing).c_str());
  }
  return 0;
}

// --- capture

int captureQuickly(Application& application, const QuickCaptureArguments& arguments, bool json) {
  QuickCaptureRequest request;
  request.url = arguments.url;
  request.text = arguments.text;
  request.note = arguments.note;
  request.task = arguments.task;
  request.taskDue = arguments.taskDue;
  request.mechanism =
      arguments.shortcut ? CaptureMechanism::globalShortcut : CaptureMechanism::manual;
  if (arguments.clipboard) request.clipboardText = desktop::clipboardText();
  request.applicationId = arguments.application;
  request.windowTitle = arguments.windowTitle;
  if (!arguments.application && !arguments.windowTitle) {
    const WindowContext window = desktop::activeWindow();
    request.applicationId = window.applicationId;
    request.windowTitle = window.title;
  }
  const OutboxRecord record =
      quickCapture(application.places(), application.store(), request, now());
  if (json) {
    printJSON(encodeJSON(record));
  } else {
    std::printf("Captured %s (%s): on this device until the next flush.\n",
                shown(captureSummary(record)).c_str(), shortIdentifier(record.id()).c_str());
  }
  return 0;
}

// --- items, tasks, search, feedback, account

int listItems(Application& application, bool cached, bool json) {
  std::vector<KestroItem> items;
  std::size_t unreadable = 0;
  if (cached) {
    CachedItems found = cachedItems(application.cache(), requireUser(application));
    items = std::move(found.items);
    unreadable = found.unreadable;
  } else {
    items = ServerAccount(application.session()).items();
  }
  if (json) {
    JSON list = JSON::array();
    for (const KestroItem& item : items) list.push_back(encodeJSON(item));
    printJSON(list);
  } else if (items.empty()) {
    std::printf(cached ? "No items in the copy kept by kestro sync.\n" : "No items yet.\n");
  } else {
    for (const KestroItem& item : items) printItem(item);
  }
  if (unreadable > 0) {
    std::fprintf(stderr, "kestro: %s in the cache could not be read and %s left out\n",
                 plural(unreadable, "item", "items").c_str(), unreadable == 1 ? "is" : "are");
  }
  return 0;
}

int listTasks(Application& application, bool json) {
  const std::vector<KestroTask> tasks = ServerAccount(application.session()).tasks();
  if (json) {
    JSON list = JSON::array();
    for (const KestroTask& task : tasks) list.push_back(encodeJSON(task));
    printJSON(list);
  } else if (tasks.empty()) {
    std::printf("No tasks.\n");
  } else {
    for (const KestroTask& task : tasks) printTask(task);
  }
  return 0;
}

int completeTask(Application& application, const std::string& id) {
  const ServerAccount account(application.session());
  const std::vector<KestroTask> tasks = account.tasks();
  std::vector<UUID> ids;
  for (const KestroTask& task : tasks) ids.push_back(task.id);
  const KestroTask& task = tasks[findIdentifier(ids, id, "task")];
  const KestroTask done = account.completeTask(task.id);
  std::printf("Done: %s\n", shown(done.title).c_str());
  return 0;
}

int searchItems(Application& application, const std::string& text, bool json) {
  const std::vector<SearchResult> results = ServerAccount(application.session()).search(text);
  if (json) {
    JSON list = JSON::array();
    for (const SearchResult& result : results) list.push_back(encodeJSON(result));
    printJSON(list);
  } else if (results.empty()) {
    std::printf("Nothing found for \"%s\".\n", shown(text).c_str());
  } else {
    for (const SearchResult& result : results) printSearchResult(result);
  }
  return 0;
}

int sendFeedback(Application& application, const std::string& text) {
  ServerAccount(application.session()).sendFeedback(text, application.places());
  std::printf("Thank you: your feedback was sent.\n");
  return 0;
}

int deleteAccount(Application& application, bool yes) {
  const Session& session = application.session();
  const ServerAccount server(session);
  const SignedInAccount& account = server.account();
  if (!yes) {
    if (!desktop::standardInputIsTerminal()) {
      throw ApplicationError(ExitStatus::usage,
                             "deleting an account needs a confirmation: run it on a terminal, or "
                             "add --yes");
    }
    std::printf(
        "This deletes the account %s at %s with all its items, tasks and conversations,\n"
        "and every capture of it on this device. It cannot be undone.\n"
        "Type \"delete\" to go ahead: ",
        shown(account.email).c_str(), shown(account.server.absoluteString()).c_str());
    std::fflush(stdout);
    std::string answer;
    std::getline(std::cin, answer);
    if (answer != "delete") {
      std::printf("Nothing was deleted.\n");
      return static_cast<int>(ExitStatus::failure);
    }
  }
  server.deleteAccount();
  // The captures first: once the account is gone the server refuses its token, so a sign-out
  // that failed (a locked keyring) must not leave them behind for good.
  OutboxStore& store = application.store();
  const std::vector<OutboxRecord> records = store.all(account.userId);
  store.deleteAll(account.userId);
  // deleteAll removes the staged files; the capture's folder goes too, with whatever an
  // interrupted share left in it.
  std::size_t kept = 0;
  std::string firstKept;
  for (const OutboxRecord& record : records) {
    const fs::path directory = application.places().captureDirectory(record.id());
    std::error_code error;
    fs::remove_all(directory, error);
    if (error && kept++ == 0) firstKept = directory.string() + ": " + error.message();
  }
  session.signOut();
  if (kept > 0) {
    throw ApplicationError(ExitStatus::failure,
                           "the account is deleted and you are signed out, but the files of " +
                               plural(kept, "capture", "captures") +
                               " could not be removed from this device (" + shown(firstKept) + ")");
  }
  std::printf(
      "The account is deleted, and so is everything of it on this device. You are signed "
      "out.\n");
  return 0;
}

// --- chat and sync

int chatWithAssistant(Application& application, const ChatArguments& arguments) {
  const ServerAccount account(application.session());
  ChatRequest request{.message = joined(arguments.words),
                      .conversation = std::nullopt,
                      .startNew = arguments.startNew};
  if (arguments.conversation) {
    request.conversation = UUID::fromString(*arguments.conversation);
    if (!request.conversation) {
      throw ApplicationError(ExitStatus::usage,
                             "not a conversation id: \"" + *arguments.conversation + "\"");
    }
  }
  // The reply is the server's text: its control characters (escape sequences above all) are
  // shown rather than obeyed, whether or not the output is a terminal now, since a pipe's end
  // often is one. Its line breaks are the reply's own layout and stay.
  PrintableTextStream printable;
  const auto onText = [&](std::string_view text) {
    if (arguments.json) return;
    const std::string piece = printable.append(text);
    std::fwrite(piece.data(), 1, piece.size(), stdout);
    std::fflush(stdout);
  };
  const ChatReply reply = account.chat(application.places(), request, onText);
  if (arguments.json) {
    JSON document{{"conversationId", reply.conversationId.uuidString()},
                  {"created", reply.created},
                  {"failed", reply.failed},
                  {"text", reply.text}};
    if (reply.reason) document["reason"] = *reply.reason;
    printJSON(document);
  } else if (!reply.text.empty()) {
    std::printf("%s\n", printable.finish().c_str());
  }
  if (reply.failed) {
    std::fprintf(stderr, "kestro: the assistant could not finish its reply%s\n",
                 reply.reason ? (" (" + shown(*reply.reason) + ")").c_str() : "");
    return static_cast<int>(ExitStatus::failure);
  }
  return 0;
}

int synchronizeCache(Application& application, bool json) {
  const ServerAccount account(application.session());
  SyncCache& cache = application.cache();
  const SyncResult result = account.synchronize(cache);
  const UUID& userId = account.account().userId;
  const std::size_t items = cache.entities(userId, "item").size();
  const std::size_t tasks = cache.entities(userId, "task").size();
  if (json) {
    printJSON(JSON{{"startCursor", result.startCursor},
                   {"cursor", result.cursor},
                   {"pages", result.pages},
                   {"changes", result.changes},
                   {"items", items},
                   {"tasks", tasks}});
  } else {
    std::printf("Synced %s in %s (from cursor %lld to %lld); %s and %s kept on this device.\n",
                plural(result.changes, "change", "changes").c_str(),
                plural(result.pages, "page", "pages").c_str(),
                static_cast<long long>(result.startCursor), static_cast<long long>(result.cursor),
                plural(items, "item", "items").c_str(), plural(tasks, "task", "tasks").c_str());
  }
  return 0;
}

}  // namespace kestro::commands
