// The URL session on libcurl.
//
// Each exchange borrows a transfer handle (an easy handle and the multi handle that runs it)
// from the session's pool and runs it on the caller's thread. The multi handle keeps the
// connection cache, and libcurl's shared connection cache is not safe across threads, so a
// connection is only ever used by the one thread holding its handle. The pool hands a thread
// the handle it used last when it can, else the most recently returned one: a handle that moves
// between threads on every exchange costs a third of the throughput of small exchanges. DNS
// answers and TLS sessions are shared through a CURLSH guarded by our own locks.
//
// The pieces, each in internal/: RequestRules (what may be sent), CurlErrors (libcurl's
// failures as ours), CurlHandles (who owns which handle), BodySource (the body sent) and
// Transfer (what comes back). This file configures a handle for a request and runs it.

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <curl/curl.h>

#include "KestroCore/Platform/HTTP/URLSession.h"
#include "KestroCore/Platform/HTTP/internal/BodySource.h"
#include "KestroCore/Platform/HTTP/internal/CurlErrors.h"
#include "KestroCore/Platform/HTTP/internal/CurlHandles.h"
#include "KestroCore/Platform/HTTP/internal/RequestRules.h"
#include "KestroCore/Platform/HTTP/internal/Transfer.h"

namespace kestro {

namespace {

using namespace http;

constexpr const char* kAllowedProtocols = "http,https";
// Handles beyond this many are closed when given back, so a burst of threads does not leave
// a crowd of idle connections behind.
constexpr std::size_t kMaximumIdleHandles = 16;
// How often a transfer wakes up without network activity, so that its idle limit and its
// cancellation are checked. curl_easy_perform would wake only once a second.
constexpr int kIdleCheckMilliseconds = 50;

class CurlURLSession final : public URLSession {
 public:
  explicit CurlURLSession(URLSessionConfiguration configuration)
      : configuration_(std::move(configuration)) {}

  HTTPResponse send(const HTTPRequest& request) override {
    // An upload from a file takes as long as its size needs; the idle limit watches it.
    const bool uploadsFile = std::holds_alternative<std::filesystem::path>(request.body);
    const auto exchangeLimit =
        uploadsFile ? std::nullopt : std::optional(configuration_.exchangeTimeout);
    Transfer transfer(configuration_, idleLimit(request), exchangeLimit, lineLimit(request),
                      &request.onProgress);
    return perform(request, transfer);
  }

  HTTPResponse sendStreamingLines(
      const HTTPRequest& request, const std::function<bool(const HTTPResponse&)>& onResponse,
      const std::function<bool(std::string_view line)>& onLine) override {
    // A stream may stay open as long as it keeps delivering.
    Transfer transfer(configuration_, idleLimit(request), std::nullopt, lineLimit(request),
                      &request.onProgress, &onResponse, &onLine);
    return perform(request, transfer);
  }

 private:
  // A transfer handle borrowed from the pool for one exchange, given back when it ends.
  class Lease {
   public:
    Lease(CurlURLSession& session, std::unique_ptr<TransferHandle> handle)
        : session_(session), handle_(std::move(handle)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { session_.giveBack(std::move(handle_)); }
    TransferHandle* operator->() const noexcept { return handle_.get(); }

   private:
    CurlURLSession& session_;
    std::unique_ptr<TransferHandle> handle_;
  };

  std::chrono::milliseconds idleLimit(const HTTPRequest& request) const {
    if (request.timeoutInterval.count() <= 0) return configuration_.idleTimeout;
    return std::min(configuration_.idleTimeout, request.timeoutInterval);
  }

  std::size_t lineLimit(const HTTPRequest& request) const {
    return request.maximumLineBytes.value_or(configuration_.maximumLineBytes);
  }

  Lease borrow() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        auto own = std::find_if(idle_.rbegin(), idle_.rend(), [](const auto& handle) {
          return handle->lastUser == std::this_thread::get_id();
        });
        auto chosen = own != idle_.rend() ? std::prev(own.base()) : std::prev(idle_.end());
        auto handle = std::move(*chosen);
        idle_.erase(chosen);
        return Lease(*this, std::move(handle));
      }
    }
    return Lease(*this, std::make_unique<TransferHandle>(caches_.get()));
  }

  void giveBack(std::unique_ptr<TransferHandle> handle) noexcept {
    handle->reset();
    handle->lastUser = std::this_thread::get_id();
    std::lock_guard lock(mutex_);
    if (idle_.size() < kMaximumIdleHandles) idle_.push_back(std::move(handle));
  }

  void configure(CURL* handle, const HTTPRequest& request, Transfer& transfer, BodySource& body,
                 curl_slist* headers) {
    setOption(handle, CURLOPT_URL, request.url.absoluteString().c_str());
    setOption(handle, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
    setOption(handle, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
    setOption(handle, CURLOPT_FOLLOWLOCATION, 1L);
    setOption(handle, CURLOPT_MAXREDIRS, static_cast<long>(configuration_.maximumRedirects));
    setOption(handle, CURLOPT_UNRESTRICTED_AUTH, 0L);
    setOption(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    setOption(handle, CURLOPT_HTTP09_ALLOWED, 0L);
    setOption(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    setOption(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    setOption(handle, CURLOPT_NOSIGNAL, 1L);
    // A proxy's answer to CONNECT is not the server's response.
    setOption(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    setOption(handle, CURLOPT_CONNECTTIMEOUT_MS,
              static_cast<long>(configuration_.connectTimeout.count()));
    setOption(handle, CURLOPT_HTTPHEADER, headers);

    const std::string& method = request.method;
    const bool hasBody = request.body.index() != 0;
    const auto length = static_cast<curl_off_t>(body.length());
    transfer.attach(handle,
                    method != "GET" && method != "PUT" && method != "HEAD" && method != "POST",
                    request.url.scheme(), request.headers.value("Authorization").has_value());
    if (method == "HEAD") {
      setOption(handle, CURLOPT_NOBODY, 1L);
      return;
    }
    if (method == "POST") {
      // libcurl's own POST, so that a 301, 302 or 303 turns it into a GET as clients do.
      setOption(handle, CURLOPT_POST, 1L);
      if (const auto* text = std::get_if<std::string>(&request.body)) {
        setOption(handle, CURLOPT_POSTFIELDS, text->data());
        setOption(handle, CURLOPT_POSTFIELDSIZE_LARGE, length);
      } else if (hasBody) {
        body.attach(handle);
        setOption(handle, CURLOPT_POSTFIELDSIZE_LARGE, length);
      } else {
        setOption(handle, CURLOPT_POSTFIELDS, "");
        setOption(handle, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
      }
      return;
    }
    const bool sendsEmptyBody = !hasBody && (method == "PUT" || method == "PATCH");
    if (hasBody || sendsEmptyBody) {
      // Every other body goes as libcurl's upload, which it repeats on a 301 or 302 (where a
      // POST-style body would be dropped while a custom method string stays).
      setOption(handle, CURLOPT_UPLOAD, 1L);
      setOption(handle, CURLOPT_INFILESIZE_LARGE, length);
      body.attach(handle);
    } else {
      setOption(handle, CURLOPT_HTTPGET, 1L);
    }
    if (method != (hasBody || sendsEmptyBody ? "PUT" : "GET")) {
      setOption(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
  }

  HTTPResponse perform(const HTTPRequest& request, Transfer& transfer) {
    checkRequest(request);
    BodySource body(request);
    const HeaderList headers = makeHeaderList(request, sendsBody(request));

    const Lease lease = borrow();
    configure(lease->easy(), request, transfer, body, headers.get());
    const CURLcode code = lease->perform(kIdleCheckMilliseconds);
    return transfer.finish(code, body, lease->easy());
  }

  const URLSessionConfiguration configuration_;
  // Declared before the pool: handles must be cleaned up while the share is still there.
  SharedCaches caches_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<TransferHandle>> idle_;
};

}  // namespace

std::shared_ptr<URLSession> makeURLSession(URLSessionConfiguration configuration) {
  initializeLibcurl();
  return std::make_shared<CurlURLSession>(std::move(configuration));
}

}  // namespace kestro
