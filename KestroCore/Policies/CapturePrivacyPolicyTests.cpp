#include "KestroCore/Policies/CapturePrivacyPolicy.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

TEST(CapturePrivacyPolicyTest, RefusesExcludedApplicationsAndPrivateWindowTitles) {
  const CapturePrivacyPolicy policy({"com.example.vault", "org.example.bank"});
  const struct {
    std::optional<std::string> bundleIdentifier, windowTitle;
    bool allowed;
  } cases[] = {
      // Bundle identifiers match exactly, letter case included.
      {std::nullopt, std::nullopt, true},
      {"com.example.vault", "Shopping list", false},
      {"com.example.Vault", "Shopping list", true},
      {"com.example.vault.helper", std::nullopt, true},
      {"com.example.editor", "Change Password", false},
      {"", "", true},
      // Title keywords match in any letter case, inside longer words, after other scripts.
      {std::nullopt, "New Tab — pRiVaTe BrOwSiNg", false},
      {std::nullopt, "Reading list (private  browsing)", true},  // two spaces: not the phrase
      {std::nullopt, "Private\u00A0Browsing", true},             // nor a no-break space
      {std::nullopt, "Incognito-Fenster – Größe", false},
      {std::nullopt, "PASSWORDS", false},
      {std::nullopt, "ПАРОЛЬ password", false},
      {std::nullopt, "ПАРОЛЬ", true},
      {std::nullopt, "ＰＡＳＳＷＯＲＤ", true},  // full-width letters never lower-case to ASCII
      {std::nullopt, "İNCOGNİTO", true},         // U+0130 lower-cases to "i" and a combining dot
  };
  for (const auto& [bundleIdentifier, windowTitle, allowed] : cases) {
    EXPECT_EQ(policy.mayCapture(bundleIdentifier, windowTitle), allowed)
        << bundleIdentifier.value_or("(none)") << " / " << windowTitle.value_or("(none)");
  }
}

}  // namespace
}  // namespace kestro
