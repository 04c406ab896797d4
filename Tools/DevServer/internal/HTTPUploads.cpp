// PUT /v1/uploads/<id>/content: an upload's bytes, streamed to disk as they arrive.

#include <cstdint>
#include <string_view>
#include <variant>

#include "KestroCore/Foundation/SHA256.h"
#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/Files/Files.h"
#include "Tools/DevServer/internal/DevServerImpl.h"
#include "Tools/DevServer/internal/HTTPSupport.h"

namespace kestro::devserver {

void DevServer::Impl::receiveUpload(const httplib::Request& request, httplib::Response& response,
                                    const httplib::ContentReader* reader, const std::string& path,
                                    const std::optional<std::string>& authorization) {
  const std::optional<UUID> user = state.authenticate(authorization);
  if (!user) {
    drain(request, reader);
    answer(response, errorReply(401, "UNAUTHORIZED", "A valid bearer token is required", false));
    return;
  }
  const std::string id = path.substr(std::string_view("/v1/uploads/").size(), 36);
  auto begun = state.beginUploadContent(*user, id);
  if (const Reply* refusal = std::get_if<Reply>(&begun)) {
    drain(request, reader);
    answer(response, *refusal);
    return;
  }
  const auto& target = std::get<ServerState::UploadTarget>(begun);
  FileDescriptor file;
  try {
    file = files::createNewFile(target.partialFile, 0600);
  } catch (const std::filesystem::filesystem_error& error) {
    drain(request, reader);
    answer(response, errorReply(500, "STORAGE_ERROR", error.what(), true));
    return;
  }
  // Bytes go to disk as they arrive; past the declared count they are only counted and
  // hashed, since the upload is refused anyway.
  SHA256Digest digest;
  std::int64_t received = 0;
  bool writeFailed = false;
  const bool complete =
      reader == nullptr || !hasBody(request) || (*reader)([&](const char* data, size_t length) {
        digest.update(std::string_view(data, length));
        const auto size = static_cast<std::int64_t>(length);
        if (!writeFailed && received + size <= target.byteCount) {
          try {
            files::writeAll(file.get(), data, length, target.partialFile);
          } catch (const std::filesystem::filesystem_error&) {
            writeFailed = true;
          }
        }
        received += size;
        return true;
      });
  file.reset();
  if (!complete || writeFailed) {
    files::removeFileQuietly(target.partialFile);
    if (!complete) {
      loopbackhttp::Connection::current().resetWhenDone();
    } else {
      answer(response, errorReply(500, "STORAGE_ERROR", "The upload could not be stored", true));
    }
    return;
  }
  answer(response, state.finishUploadContent(target, received, digest.finishHex()));
}

}  // namespace kestro::devserver
