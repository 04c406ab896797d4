#include "KestroCore/Platform/HTTP/internal/BodySource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "KestroCore/Platform/HTTP/internal/CurlErrors.h"

namespace kestro::http {

namespace {

// libcurl's default of 64 KiB makes a large upload cost twice the read calls for no gain.
constexpr long kUploadBufferBytes = 512 * 1024;

}  // namespace

BodySource::BodySource(const HTTPRequest& request) {
  if (const auto* text = std::get_if<std::string>(&request.body)) {
    memory_ = text;
    length_ = text->size();
    return;
  }
  const auto* path = std::get_if<std::filesystem::path>(&request.body);
  if (path == nullptr) return;
  path_ = *path;
  file_.reset(::open(path->c_str(), O_RDONLY | O_CLOEXEC));
  if (!file_.valid()) {
    throw transportFailure("Could not open the file " + path->string() + ": " +
                           systemMessage(errno));
  }
  struct stat status {};
  if (::fstat(file_.get(), &status) != 0) {
    throw transportFailure("Could not read the file " + path->string() + ": " +
                           systemMessage(errno));
  }
  if (!S_ISREG(status.st_mode)) throw transportFailure("Not a regular file: " + path->string());
  length_ = static_cast<std::uint64_t>(status.st_size);
  ::posix_fadvise(file_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
}

void BodySource::attach(CURL* handle) {
  setOption(handle, CURLOPT_READFUNCTION, &BodySource::read);
  setOption(handle, CURLOPT_READDATA, this);
  setOption(handle, CURLOPT_SEEKFUNCTION, &BodySource::seek);
  setOption(handle, CURLOPT_SEEKDATA, this);
  setOption(handle, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
}

size_t BodySource::read(char* buffer, size_t size, size_t count, void* userdata) {
  auto& self = *static_cast<BodySource*>(userdata);
  const std::uint64_t wanted = std::min<std::uint64_t>(size * count, self.length_ - self.offset_);
  if (wanted == 0) return 0;
  if (self.memory_ != nullptr) {
    std::copy_n(self.memory_->data() + self.offset_, wanted, buffer);
    self.offset_ += wanted;
    return static_cast<size_t>(wanted);
  }
  ssize_t got;
  do {
    got = ::pread(self.file_.get(), buffer, wanted, static_cast<off_t>(self.offset_));
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    self.failure_ = transportFailure("Could not read the file " + self.path_.string() + ": " +
                                     systemMessage(errno));
    return CURL_READFUNC_ABORT;
  }
  if (got == 0) {
    // The length was announced already; sending less would leave the server waiting.
    self.failure_ = transportFailure("The file " + self.path_.string() +
                                     " became shorter while it was being sent");
    return CURL_READFUNC_ABORT;
  }
  self.offset_ += static_cast<std::uint64_t>(got);
  return static_cast<size_t>(got);
}

int BodySource::seek(void* userdata, curl_off_t offset, int origin) {
  auto& self = *static_cast<BodySource*>(userdata);
  if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > self.length_) {
    return CURL_SEEKFUNC_CANTSEEK;
  }
  self.offset_ = static_cast<std::uint64_t>(offset);
  return CURL_SEEKFUNC_OK;
}

}  // namespace kestro::http
