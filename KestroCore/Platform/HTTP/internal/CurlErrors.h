#pragma once

// The one place where a libcurl failure becomes the session's URLSessionError. Internal to the
// HTTP session.

#include <chrono>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include "KestroCore/Platform/HTTP/URLSession.h"

namespace kestro::http {

URLSessionError invalidRequest(std::string description);
URLSessionError transportFailure(std::string description);

// The text of an errno value ("Connection refused").
std::string systemMessage(int error);

// "60 s" or "250 ms", for messages.
std::string describeDuration(std::chrono::milliseconds duration);

// A failed easy transfer. `osError` is CURLINFO_OS_ERRNO, which carries the reason that
// libcurl's own text leaves out; `detail` is libcurl's error buffer (its generic text for
// `code` when empty).
URLSessionError sessionError(CURLcode code, long osError, std::string_view detail);

// The multi interface fails only on misuse or lack of memory.
URLSessionError sessionError(CURLMcode code);

// curl_easy_setopt that throws a transport failure instead of returning a code.
template <typename Value>
void setOption(CURL* handle, CURLoption option, Value value) {
  if (CURLcode code = curl_easy_setopt(handle, option, value); code != CURLE_OK) {
    throw sessionError(code, 0, "curl_easy_setopt");
  }
}

}  // namespace kestro::http
