#pragma once

// The state of one exchange, fed by libcurl's callbacks: the response as it arrives, the body
// whole or line by line, idleness, cancellation, and how the exchange ended. Internal to the
// HTTP session.

#include <array>
#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include "KestroCore/Platform/HTTP/LineSplitter.h"
#include "KestroCore/Platform/HTTP/URLSession.h"

namespace kestro::http {

class BodySource;

// One transfer's receiving side. Callbacks never let an exception through libcurl's C frames:
// they record it and stop the transfer instead, and `finish` raises it afterwards. Not
// copyable; lives on the stack of the exchange, attached to one easy handle.
class Transfer {
 public:
  using ResponseHandler = std::function<bool(const HTTPResponse&)>;
  using LineHandler = std::function<bool(std::string_view)>;

  // `onResponse` and `onLine` are both given for a streamed exchange, or both null for a body
  // delivered whole; `maximumLineBytes` limits the lines of a streamed one. `exchangeLimit`, when
  // given, bounds the whole exchange however steadily data moves. `onProgress` may be null.
  Transfer(const URLSessionConfiguration& configuration, std::chrono::milliseconds idleLimit,
           std::optional<std::chrono::milliseconds> exchangeLimit, std::size_t maximumLineBytes,
           const HTTPRequest::ProgressHandler* onProgress,
           const ResponseHandler* onResponse = nullptr, const LineHandler* onLine = nullptr);

  // The most bytes of header lines one response may carry. Below libcurl's own limit, so that
  // a server sending more is reported as such rather than as a lost connection.
  static constexpr std::size_t kMaximumHeaderBytes = 256 * 1024;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Sets the header, body and transfer-info callbacks and the error buffer on `handle`, and
  // starts the idle clock. `holdSeeOther`: a 303 is returned as the response rather than
  // followed, since libcurl would repeat a custom method at the new location. `scheme` is the
  // request's; `carriesCredentials`: it has an Authorization header, which no redirect may take
  // from https to plain http.
  void attach(CURL* handle, bool holdSeeOther, std::string_view scheme, bool carriesCredentials);

  // Turns how the transfer ended (libcurl's `code`) into the response, or throws: what a
  // callback threw, the transfer's own failure (an idle limit, a size limit, a refused
  // redirect, a cancellation), the body source's failure, or libcurl's.
  HTTPResponse finish(CURLcode code, const BodySource& body, CURL* handle);

 private:
  bool streaming() const noexcept { return onLine_ != nullptr; }
  bool deliverResponse();
  bool deliverLine(std::string_view line);
  bool lineStatus(LineSplitter::Status status);
  bool receiveLines(std::string_view data);
  bool receiveBody(std::string_view data);
  bool endOfHeaders();
  bool adoptResponse();
  bool receiveHeaderLine(std::string_view line);
  bool progress(curl_off_t nowDownloaded, curl_off_t nowUploaded, curl_off_t totalUpload);

  static size_t onHeader(char* buffer, size_t size, size_t count, void* userdata);
  static size_t onBody(char* buffer, size_t size, size_t count, void* userdata);
  static int onTransferInfo(void* userdata, curl_off_t, curl_off_t nowDownloaded,
                            curl_off_t totalUpload, curl_off_t nowUploaded);

  const URLSessionConfiguration& configuration_;
  const std::chrono::milliseconds idleLimit_;
  const std::optional<std::chrono::milliseconds> exchangeLimit_;
  const HTTPRequest::ProgressHandler* onProgress_;
  const ResponseHandler* onResponse_;
  const LineHandler* onLine_;
  bool holdSeeOther_ = false;
  bool carriesCredentials_ = false;
  std::string scheme_;  // of the URL now requested: redirects change it

  LineSplitter lines_;

  // The response being read: each new status line (a redirect, a "100 Continue") starts over.
  int status_ = 0;
  HTTPHeaders headers_;
  std::optional<std::string> location_;
  std::size_t headerBytes_ = 0;
  bool finalHeadersComplete_ = false;
  HTTPResponse response_;

  // Idleness: the time the byte counts last moved.
  curl_off_t downloaded_ = 0;
  curl_off_t uploaded_ = 0;
  std::chrono::steady_clock::time_point lastActivity_;
  std::chrono::steady_clock::time_point started_;

  // How the transfer ended when a callback stopped it.
  bool stoppedByCaller_ = false;
  bool seeOtherHeld_ = false;
  std::optional<URLSessionError> failure_;
  std::exception_ptr callbackException_;

  std::array<char, CURL_ERROR_SIZE> errorBuffer_{};
};

}  // namespace kestro::http
