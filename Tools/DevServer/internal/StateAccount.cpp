// The state's routes of sign-in and the account: POST /v1/development/token, DELETE /v1/account.

#include "Tools/DevServer/internal/ServerState.h"

#include <filesystem>
#include <system_error>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/SHA256.h"
#include "KestroCore/Foundation/Text.h"
#include "Tools/DevServer/internal/RouteSupport.h"

namespace kestro::devserver {

namespace {

// The same address always names the same user, even across restarts: the id is derived from
// the address rather than drawn.
UUID userIdFor(const std::string& email) {
  SHA256Digest digest;
  digest.update("kestro-devserver user ");
  digest.update(email);
  const std::string hex = digest.finishHex();
  UUID::Bytes bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
  }
  bytes[6] = static_cast<std::uint8_t>(0x80 | (bytes[6] & 0x0F));  // version 8: name-based, custom
  bytes[8] = static_cast<std::uint8_t>(0x80 | (bytes[8] & 0x3F));  // RFC 4122 variant
  return UUID(bytes);
}

}  // namespace

Reply ServerState::signIn(const Call& call) {
  const JSON body = parseBody(call.body);
  const CodingPath root;
  const std::string given = ObjectDecoder(body, root).required<std::string>("email");
  const std::string email = asciiLowercased(trimmingWhitespaceAndNewlines(given));
  if (email.empty())
    return errorReply(400, "VALIDATION_ERROR", "An e-mail address is required", false);
  const UUID id = userIdFor(email);
  auto user = users_.find(id);
  if (user == users_.end()) {
    user = users_.emplace(id, User{email, "kdev-" + UUID().uuidString()}).first;
    tokens_.emplace(user->second.token, id);
  }
  return jsonReply(200, encodeJSON(DevelopmentSession{
                            .token = user->second.token,
                            .tokenType = "Bearer",
                            .expiresIn = 86400,
                            .userId = id,
                        }));
}

Reply ServerState::deleteAccount(const UUID& user) {
  const auto owned = [&](const auto& record) { return record.owner == user; };
  std::error_code ignored;
  for (auto upload = uploads_.begin(); upload != uploads_.end();) {
    if (upload->second.owner == user) {
      std::filesystem::remove(uploadDirectory_ / upload->first.uuidString(), ignored);
      upload = uploads_.erase(upload);
    } else {
      ++upload;
    }
  }
  eraseIf(captures_, owned);
  eraseIf(items_, owned);
  eraseIf(tasks_, owned);
  eraseIf(conversations_, owned);
  eraseIf(changes_, owned);
  if (const auto found = users_.find(user); found != users_.end()) {
    tokens_.erase(found->second.token);
    users_.erase(found);
  }
  return noContent();
}

}  // namespace kestro::devserver
