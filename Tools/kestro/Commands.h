#pragma once

// The commands of `kestro`, one function each: they call KestroCore/Application and print. Each
// returns the exit status, or throws what reportFailure turns into one line and a status.

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KestroCore/Application/ApplicationPlaces.h"
#include "KestroCore/Application/Session.h"
#include "KestroCore/OutboxStore/OutboxStore.h"
#include "KestroCore/OutboxStore/SyncCache.h"

namespace kestro::commands {

struct GlobalOptions {
  bool noKeyring = false;  // an in-memory keychain: the token lives for this run only
};

// What the commands share, each piece made when first asked for: the places, the session (with
// the keyring or, with --no-keyring, a keychain in memory) and the outbox database.
class Application {
 public:
  explicit Application(GlobalOptions options);

  const GlobalOptions& options() const noexcept { return options_; }
  const ApplicationPlaces& places() const noexcept { return places_; }
  const Session& session();
  OutboxStore& store();
  // The same store, for owners that keep it (the outbox processor).
  std::shared_ptr<OutboxStore> sharedStore();
  SyncCache& cache();

 private:
  GlobalOptions options_;
  ApplicationPlaces places_;
  std::optional<Session> session_;
  std::shared_ptr<OutboxStore> store_;
  std::unique_ptr<SyncCache> cache_;
};

struct QuickCaptureArguments {
  std::optional<std::string> url;
  std::optional<std::string> text;
  bool clipboard = false;
  std::optional<std::string> note;
  bool task = false;
  std::optional<std::string> taskDue;
  std::optional<std::string> application;
  std::optional<std::string> windowTitle;
  bool shortcut = false;
};

struct ChatArguments {
  std::vector<std::string> words;
  bool startNew = false;
  std::optional<std::string> conversation;
  bool json = false;
};

std::string versionText();
std::string joined(const std::vector<std::string>& words);
// Prints the failure as one line on standard error and returns its exit status.
int reportFailure(const std::exception_ptr& error);

// `allowInsecureHTTP`: sign in to a plain-HTTP server off this machine all the same.
// `insecureStorage`: keep the token in the token file, in clear, rather than in the keyring.
int signIn(Application& application, const std::string& server, const std::string& email,
           bool allowInsecureHTTP, bool insecureStorage, bool json);
int signOut(Application& application);
int showStatus(Application& application, bool json);

int listOutbox(Application& application, bool json);
int pruneOutbox(Application& application, const std::string& olderThan, bool json);
int retryRecord(Application& application, const std::string& id);
int setAsideRecord(Application& application, const std::string& id);
int exportOutboxRecord(Application& application, const std::string& id,
                       const std::string& directory);

int flushOutbox(Application& application, bool json);
int watchOutbox(Application& application, bool json);

int captureQuickly(Application& application, const QuickCaptureArguments& arguments, bool json);

int listItems(Application& application, bool cached, bool json);
int listTasks(Application& application, bool json);
int completeTask(Application& application, const std::string& id);
int searchItems(Application& application, const std::string& text, bool json);
int sendFeedback(Application& application, const std::string& text);
int deleteAccount(Application& application, bool yes);
int chatWithAssistant(Application& application, const ChatArguments& arguments);
int synchronizeCache(Application& application, bool json);

}  // namespace kestro::commands
