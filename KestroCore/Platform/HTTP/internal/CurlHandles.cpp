#include "KestroCore/Platform/HTTP/internal/CurlHandles.h"

#include <string>

#include "KestroCore/Platform/HTTP/internal/CurlErrors.h"
#include "KestroCore/Platform/HTTP/internal/RequestRules.h"

namespace kestro::http {

void initializeLibcurl() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
      throw sessionError(code, 0, "curl_global_init");
    }
  });
}

HeaderList makeHeaderList(const HTTPRequest& request, bool sendsBody) {
  HeaderList list;
  const auto append = [&list](const std::string& line) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (extended == nullptr) throw transportFailure("Out of memory");
    // Appending keeps the head of a list that exists; only the first entry makes one.
    if (!list) list.reset(extended);
  };
  for (const auto& [name, value] : request.headers.entries()) {
    if (isFramingHeader(name)) continue;
    // "Name:" would tell libcurl to drop a header of its own; "Name;" sends an empty one.
    append(value.empty() ? name + ";" : name + ": " + value);
  }
  // The request says what it accepts, or nothing: libcurl's "Accept: */*" is not ours to add.
  if (!request.headers.value("Accept")) append("Accept:");
  if (sendsBody) {
    // Waiting for "100 Continue" costs a round trip, or a second when the server never sends it.
    if (!request.headers.value("Expect")) append("Expect:");
    // Otherwise libcurl labels a POST body as a form, which it is not.
    if (!request.headers.value("Content-Type")) append("Content-Type:");
  }
  return list;
}

SharedCaches::SharedCaches() : share_(curl_share_init()) {
  if (!share_) throw transportFailure("Could not create a libcurl share handle");
  CURLSH* share = share_.get();
  if (curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &SharedCaches::lock) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &SharedCaches::unlock) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_USERDATA, this) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK ||
      curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK) {
    throw transportFailure("Could not configure a libcurl share handle");
  }
}

void SharedCaches::lock(CURL*, curl_lock_data data, curl_lock_access, void* userdata) {
  static_cast<SharedCaches*>(userdata)->mutexes_.at(data).lock();
}

void SharedCaches::unlock(CURL*, curl_lock_data data, void* userdata) {
  static_cast<SharedCaches*>(userdata)->mutexes_.at(data).unlock();
}

TransferHandle::TransferHandle(CURLSH* share) : multi_(curl_multi_init()), easy_(curl_easy_init()) {
  if (!multi_ || !easy_) throw transportFailure("Could not create a libcurl handle");
  setOption(easy_.get(), CURLOPT_SHARE, share);
}

CURLcode TransferHandle::perform(int wakeIntervalMilliseconds) {
  CURLM* multi = multi_.get();
  CURL* easy = easy_.get();
  CURLMcode status = curl_multi_add_handle(multi, easy);
  if (status != CURLM_OK) throw sessionError(status);
  int running = 1;
  while (running > 0 && status == CURLM_OK) {
    // Each call runs the transfer-info callback, which checks the idle limit.
    status = curl_multi_perform(multi, &running);
    if (status == CURLM_OK && running > 0) {
      status = curl_multi_poll(multi, nullptr, 0, wakeIntervalMilliseconds, nullptr);
    }
  }
  CURLcode result = CURLE_OK;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
      result = message->data.result;
    }
  }
  curl_multi_remove_handle(multi, easy);
  if (status != CURLM_OK) throw sessionError(status);
  return result;
}

}  // namespace kestro::http
