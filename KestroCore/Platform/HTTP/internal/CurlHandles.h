#pragma once

// Owners of libcurl's handles, and the pair of handles that runs one exchange. Internal to the
// HTTP session.

#include <array>
#include <memory>
#include <mutex>
#include <thread>

#include <curl/curl.h>

#include "KestroCore/Platform/HTTP/URLSession.h"

namespace kestro::http {

struct EasyCleanup {
  void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct MultiCleanup {
  void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

struct ShareCleanup {
  void operator()(CURLSH* share) const noexcept { curl_share_cleanup(share); }
};

struct HeaderListFree {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListFree>;

// libcurl's global set-up, once per process. Throws URLSessionError if it fails.
void initializeLibcurl();

// The request headers as libcurl's list: our map has already removed duplicates, which libcurl
// would otherwise send as they are. Framing headers are left to libcurl, and libcurl's own
// defaults ("Accept: */*", "Expect: 100-continue", a form's "Content-Type") are suppressed.
HeaderList makeHeaderList(const HTTPRequest& request, bool sendsBody);

// Who owns the DNS cache and TLS sessions that every handle of one session shares. libcurl
// locks each kind of shared data through our callbacks. Not copyable.
class SharedCaches {
 public:
  SharedCaches();
  SharedCaches(const SharedCaches&) = delete;
  SharedCaches& operator=(const SharedCaches&) = delete;

  CURLSH* get() const noexcept { return share_.get(); }

 private:
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* userdata);
  static void unlock(CURL*, curl_lock_data data, void* userdata);

  // Declared before the share so that they outlive its cleanup, which locks them.
  std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
  std::unique_ptr<CURLSH, ShareCleanup> share_;
};

// An easy handle and the multi handle that runs it, which keeps its open connections between
// exchanges. Used by one thread at a time; not copyable.
class TransferHandle {
 public:
  explicit TransferHandle(CURLSH* share);

  CURL* easy() const noexcept { return easy_.get(); }

  // Runs the transfer configured on the easy handle to its end, waking at least every
  // `wakeInterval` so that the transfer-info callback can check the idle limit and
  // cancellation. Returns the transfer's result; throws URLSessionError if the multi interface
  // fails.
  CURLcode perform(int wakeIntervalMilliseconds);

  // Forgets the finished exchange's options, and with them its pointers into our stack; the
  // connections and the share stay.
  void reset() noexcept { curl_easy_reset(easy_.get()); }

  // The thread that used the handle last.
  std::thread::id lastUser;

 private:
  // Declared first so that it goes last: the easy handle is never still inside it by then.
  MultiHandle multi_;
  EasyHandle easy_;
};

}  // namespace kestro::http
