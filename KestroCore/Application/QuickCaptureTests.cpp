#include "KestroCore/Application/QuickCapture.h"

#include <gtest/gtest.h>

#include "KestroCore/Application/ApplicationTestSupport.h"
#include "KestroCore/Platform/Storage/KestroPlaces.h"

namespace kestro {
namespace {

using namespace std::chrono_literals;

const Date kNow{1741064767s};

class QuickCaptureTest : public ::testing::Test {
 protected:
  QuickCaptureTest() : places_(tree_.places()), store_(places_.databaseURL()) {
    places_.sharedSettings().set(user_.uuidString(), places::kCurrentUserIdKey);
  }

  OutboxRecord capture(QuickCaptureRequest request) {
    return quickCapture(places_, store_, request, kNow);
  }
  ExitStatus refusal(QuickCaptureRequest request) {
    return testsupport::refusalOf([&] { capture(std::move(request)); }).status;
  }
  std::optional<std::string> revision() const {
    return places_.sharedSettings().string(places::kSharedCaptureRevisionKey);
  }

  testsupport::TemporaryTree tree_;
  ApplicationPlaces places_;
  OutboxStore store_;
  const UUID user_;
};

// What kind of capture a request makes, and its address and text.
TEST_F(QuickCaptureTest, KindAndAddressComeFromTheContextPolicy) {
  struct Case {
    QuickCaptureRequest request;
    SourceKind kind;
    std::optional<std::string> url;
    std::optional<std::string> text;
  };
  std::vector<Case> cases{
      {{.url = "https://example.com/a"}, SourceKind::url, "https://example.com/a", std::nullopt},
      {{.text = "  selected words \n"}, SourceKind::selectedText, std::nullopt, "selected words"},
      // A web address on the clipboard is the address; the clipboard is the text.
      {{.clipboardText = " https://example.org/b\n"},
       SourceKind::selectedText,
       "https://example.org/b",
       "https://example.org/b"},
      // An address that is not a web address is kept as typed.
      {{.url = "mailto:ada@example.com"}, SourceKind::url, "mailto:ada@example.com", std::nullopt},
      // The typed text wins over the clipboard for the text.
      {{.text = "typed", .clipboardText = "clipped"},
       SourceKind::selectedText,
       std::nullopt,
       "typed"},
      {{.note = "remember"}, SourceKind::note, std::nullopt, std::nullopt},
      {{.text = "  ", .note = "blank text counts as none"},
       SourceKind::note,
       std::nullopt,
       std::nullopt},
  };
  for (const Case& c : cases) {
    const OutboxRecord record = capture(c.request);
    EXPECT_EQ(record.capture.sourceKind, c.kind);
    EXPECT_EQ(
        record.capture.url ? std::optional(record.capture.url->absoluteString()) : std::nullopt,
        c.url);
    EXPECT_EQ(record.capture.selectedText, c.text);
  }
  EXPECT_EQ(store_.all(user_).size(), cases.size());
}

// What else a capture takes from the request and the places.
TEST_F(QuickCaptureTest, TheRecordCarriesEverythingTheUserGaveAndTellsTheWatcher) {
  const std::optional<std::string> before = revision();
  const OutboxRecord record = capture({.text = "call the printer guy",
                                       .note = "before Friday",
                                       .applicationId = "org.gnome.TextEditor",
                                       .windowTitle = "notes.txt"});
  EXPECT_EQ(record.userId, user_);
  const CaptureEnvelope& envelope = record.capture;
  EXPECT_EQ(envelope.annotation, "before Friday");
  EXPECT_EQ(envelope.origin.sourceBundleId, "org.gnome.TextEditor");
  EXPECT_EQ(envelope.origin.windowTitle, "notes.txt");
  EXPECT_EQ(envelope.origin.appVersion, "9.8.7");
  EXPECT_EQ(envelope.origin.deviceId, places_.deviceIdentifier());
  EXPECT_NE(revision(), before);
  // A task without a date is still a task; bytes that are not UTF-8 are repaired, not refused.
  const OutboxRecord undated = capture({.text = "caf\xe9", .task = true});
  EXPECT_EQ(undated.capture.taskIntent, (TaskIntent{true, std::nullopt}));
  EXPECT_EQ(undated.capture.selectedText, "caf\xEF\xBF\xBD");
  // A web address on the clipboard is the address; the clipboard is the text.
  const OutboxRecord clipped = capture({.clipboardText = " https://example.org/b\n"});
  EXPECT_EQ(clipped.capture.sourceKind, SourceKind::selectedText);
  EXPECT_EQ(clipped.capture.url->absoluteString(), "https://example.org/b");
  EXPECT_EQ(clipped.capture.selectedText, "https://example.org/b");
}

TEST_F(QuickCaptureTest, RefusalsStoreNothing) {
  places_.applicationSettings().set("org.keepassxc.KeePassXC", settingskeys::kExcludedApplications);
  EXPECT_EQ(refusal({.text = "secret", .applicationId = "org.keepassxc.KeePassXC"}),
            ExitStatus::failure);
  EXPECT_EQ(refusal({.text = " \n", .note = "\t"}), ExitStatus::usage);
  EXPECT_EQ(refusal({.url = "not a url at all"}), ExitStatus::usage);
  // Exclusions compare exactly.
  EXPECT_EQ(refusal({.text = "fine", .applicationId = "org.keepassxc.keepassxc"}), ExitStatus::ok);

  places_.sharedSettings().removeObject(places::kCurrentUserIdKey);
  EXPECT_EQ(refusal({.text = "nobody"}), ExitStatus::notSignedIn);
  places_.sharedSettings().set(user_.uuidString(), places::kCurrentUserIdKey);
  EXPECT_EQ(store_.all(user_).size(), 1u);
}

}  // namespace
}  // namespace kestro
