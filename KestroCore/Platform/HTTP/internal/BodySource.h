#pragma once

// Where libcurl's read callback takes a request body from. Internal to the HTTP session.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <curl/curl.h>

#include "KestroCore/Platform/Files/FileDescriptor.h"
#include "KestroCore/Platform/HTTP/URLSession.h"

namespace kestro::http {

// The request's own string, or a file read as it goes (never whole into memory). Seeking lets
// libcurl start again from the beginning after a redirect. Not copyable; one transfer's.
class BodySource {
 public:
  // Opens the request's body file, if it has one. Throws a transport URLSessionError when the
  // file cannot be opened or is not a regular file (a FIFO or a device has no length to
  // announce and might never end).
  explicit BodySource(const HTTPRequest& request);
  BodySource(const BodySource&) = delete;
  BodySource& operator=(const BodySource&) = delete;

  std::uint64_t length() const noexcept { return length_; }
  // Why the last read failed, if it did.
  const std::optional<URLSessionError>& failure() const noexcept { return failure_; }

  // Sets the read and seek callbacks on `handle`.
  void attach(CURL* handle);

 private:
  static size_t read(char* buffer, size_t size, size_t count, void* userdata);
  static int seek(void* userdata, curl_off_t offset, int origin);

  const std::string* memory_ = nullptr;
  std::filesystem::path path_;
  FileDescriptor file_;
  std::uint64_t length_ = 0;
  std::uint64_t offset_ = 0;
  std::optional<URLSessionError> failure_;
};

}  // namespace kestro::http
