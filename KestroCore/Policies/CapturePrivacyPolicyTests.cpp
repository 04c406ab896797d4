#include "KestroCore/Policies/CapturePrivacyPolicy.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kestro {
namespace {

TEST(CapturePrivacyPolicyTest, RefusesExcludedApplicationsByExactIdentifier) {
  const CapturePrivacyPolicy policy({"com.example.vault", "org.example.bank"});
  const struct {
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> windowTitle;
    bool allowed;
  } cases[] = {
      {std::nullopt, std::nullopt, true},
      {"com.example.vault", "Shopping list", false},
      {"com.example.Vault", "Shopping list", true},  // letter case matters for identifiers
      {"com.example.vault.helper", std::nullopt, true},
      {"com.example.editor", "Shopping list", true},
      {"com.example.editor", "Change Password", false},  // the title still refuses
  };
  for (const auto& [bundleIdentifier, windowTitle, allowed] : cases) {
    EXPECT_EQ(policy.mayCapture(bundleIdentifier, windowTitle), allowed)
        << bundleIdentifier.value_or("(none)") << " / " << windowTitle.value_or("(none)");
  }
  EXPECT_TRUE(CapturePrivacyPolicy({}).mayCapture(std::nullopt, ""));
  EXPECT_TRUE(CapturePrivacyPolicy({}).mayCapture("", ""));
}

TEST(CapturePrivacyPolicyTest, RefusesPrivateWindowTitlesInAnyLetterCase) {
  const CapturePrivacyPolicy policy({});
  const struct {
    const char* windowTitle;
    bool allowed;
  } cases[] = {
      {"Private Browsing", false},
      {"New Tab — pRiVaTe BrOwSiNg", false},
      {"Reading list (private  browsing)", true},  // two spaces: not the phrase
      {"Private\u00A0Browsing", true},             // nor a no-break space
      {"INCOGNITO", false},
      {"Incognito-Fenster – Größe", false},
      {"PASSWORDS", false},  // inside a longer word too
      {"Übersicht — Password", false},
      {"ПАРОЛЬ password", false},
      {"ПАРОЛЬ", true},            // "password" in Russian is no keyword
      {"ＰＡＳＳＷＯＲＤ", true},  // full-width letters lower-case to full-width ones, never ASCII
      {"İNCOGNİTO", true},  // U+0130 lower-cases to "i" and a combining dot, breaking the word
      {"", true},
  };
  for (const auto& [windowTitle, allowed] : cases) {
    EXPECT_EQ(policy.mayCapture(std::nullopt, windowTitle), allowed) << windowTitle;
  }
}

}  // namespace
}  // namespace kestro
