#include "KestroCore/Platform/HTTP/internal/Transfer.h"

#include <algorithm>
#include <utility>

#include "KestroCore/Foundation/ASCII.h"
#include "KestroCore/Foundation/JSONDocument.h"
#include "KestroCore/Platform/HTTP/internal/BodySource.h"
#include "KestroCore/Platform/HTTP/internal/CurlErrors.h"
#include "KestroCore/Platform/HTTP/internal/RequestRules.h"

namespace kestro::http {

using Clock = std::chrono::steady_clock;

Transfer::Transfer(const URLSessionConfiguration& configuration,
                   std::chrono::milliseconds idleLimit,
                   std::optional<std::chrono::milliseconds> exchangeLimit,
                   std::size_t maximumLineBytes, const HTTPRequest::ProgressHandler* onProgress,
                   const ResponseHandler* onResponse, const LineHandler* onLine)
    : configuration_(configuration),
      idleLimit_(idleLimit),
      exchangeLimit_(exchangeLimit),
      onProgress_(onProgress != nullptr && *onProgress ? onProgress : nullptr),
      onResponse_(onResponse),
      onLine_(onLine),
      lines_(maximumLineBytes) {}

void Transfer::attach(CURL* handle, bool holdSeeOther, std::string_view scheme,
                      bool carriesCredentials) {
  holdSeeOther_ = holdSeeOther;
  scheme_ = scheme;
  carriesCredentials_ = carriesCredentials;
  setOption(handle, CURLOPT_ERRORBUFFER, errorBuffer_.data());
  setOption(handle, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  setOption(handle, CURLOPT_HEADERDATA, this);
  setOption(handle, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
  setOption(handle, CURLOPT_WRITEDATA, this);
  setOption(handle, CURLOPT_NOPROGRESS, 0L);
  setOption(handle, CURLOPT_XFERINFOFUNCTION, &Transfer::onTransferInfo);
  setOption(handle, CURLOPT_XFERINFODATA, this);
  lastActivity_ = Clock::now();
  started_ = lastActivity_;
}

HTTPResponse Transfer::finish(CURLcode code, const BodySource& body, CURL* handle) {
  if (callbackException_) std::rethrow_exception(callbackException_);
  if (code != CURLE_OK && !stoppedByCaller_ && !seeOtherHeld_) {
    if (failure_) throw *failure_;
    if (body.failure()) throw *body.failure();
      // libcurl refuses a header line longer than it takes before we see it, and says only that
      // it is out of memory. Once a status line has come, that is the server's answer, not this
      // process running short.
      // (Newer libcurl names it for what it is.)
#if LIBCURL_VERSION_NUM >= 0x080600
    const bool lineTooLong = code == CURLE_OUT_OF_MEMORY || code == CURLE_TOO_LARGE;
#else
    const bool lineTooLong = code == CURLE_OUT_OF_MEMORY;
#endif
    if (lineTooLong && status_ != 0 && !finalHeadersComplete_) {
      throw transportFailure(
          "The server answered, but a line of its response headers is longer than the limit "
          "of " +
          std::to_string(CURL_MAX_HTTP_HEADER) + " bytes");
    }
    long osError = 0;
    curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &osError);
    throw sessionError(code, osError, errorBuffer_.data());
  }
  if (status_ == 0) throw transportFailure("The server's answer is not HTTP");
  if (!finalHeadersComplete_) {
    // The last answer looked like a redirect, but libcurl did not follow it.
    adoptResponse();
  } else if (streaming() && code == CURLE_OK) {
    lines_.finish([this](std::string_view line) { return deliverLine(line); });
  }
  if (callbackException_) std::rethrow_exception(callbackException_);
  return std::move(response_);
}

bool Transfer::deliverResponse() {
  if (!streaming()) return true;
  try {
    if ((*onResponse_)(response_)) return true;
    stoppedByCaller_ = true;
  } catch (...) {
    callbackException_ = std::current_exception();
  }
  return false;
}

bool Transfer::deliverLine(std::string_view line) {
  try {
    if ((*onLine_)(line)) return true;
    stoppedByCaller_ = true;
  } catch (...) {
    callbackException_ = std::current_exception();
  }
  return false;
}

bool Transfer::lineStatus(LineSplitter::Status status) {
  switch (status) {
    case LineSplitter::Status::more:
      return true;
    case LineSplitter::Status::stopped:
      return false;  // deliverLine recorded why
    case LineSplitter::Status::lineTooLong:
      failure_ = transportFailure("A line of the response is longer than the limit of " +
                                  std::to_string(lines_.maximumLineBytes()) + " bytes");
      return false;
  }
  return false;
}

bool Transfer::receiveLines(std::string_view data) {
  return lineStatus(lines_.feed(data, [this](std::string_view line) { return deliverLine(line); }));
}

bool Transfer::receiveBody(std::string_view data) {
  if (data.size() > configuration_.maximumBodyBytes - response_.body.size()) {
    failure_ = transportFailure("The response body is larger than the limit of " +
                                std::to_string(configuration_.maximumBodyBytes) + " bytes");
    return false;
  }
  // Growing with room for the JSON reader's padding past the end, so that a body is decoded
  // where it lies rather than copied first.
  std::string& body = response_.body;
  const std::size_t needed = body.size() + data.size() + kJSONReadPadding;
  if (body.capacity() < needed) body.reserve(std::max(needed, 2 * body.capacity()));
  body.append(data);
  return true;
}

bool Transfer::endOfHeaders() {
  if (status_ >= 100 && status_ < 200) return true;
  if (status_ >= 300 && status_ < 400 && location_) {
    // libcurl follows any 3xx that names a location.
    if (auto scheme = locationScheme(*location_); scheme && !isHTTPScheme(*scheme)) {
      failure_ =
          invalidRequest("The server redirected to a URL that is not http or https: " + *location_);
      return false;
    }
    if (status_ != 303 || !holdSeeOther_) {
      if (carriesCredentials_ && !mayFollowWithCredentials(scheme_, *location_)) {
        failure_ = invalidRequest(
            "The server redirected a request carrying credentials from https to plain http: " +
            *location_);
        return false;
      }
      scheme_ = redirectedScheme(scheme_, *location_);
      return true;
    }
    seeOtherHeld_ = true;
  }
  return adoptResponse() && !seeOtherHeld_;
}

bool Transfer::adoptResponse() {
  finalHeadersComplete_ = true;
  response_.statusCode = status_;
  response_.headers = std::move(headers_);
  return deliverResponse();
}

bool Transfer::receiveHeaderLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // Trailers of a chunked body come through here too; they are not part of the response.
  if (finalHeadersComplete_) return true;
  if (line.starts_with("HTTP/")) {
    status_ = 0;
    headerBytes_ = 0;
    const auto space = line.find(' ');
    if (space != std::string_view::npos && line.size() >= space + 4) {
      for (char digit : line.substr(space + 1, 3)) {
        if (digit < '0' || digit > '9') {
          status_ = 0;
          break;
        }
        status_ = status_ * 10 + (digit - '0');
      }
    }
    headers_ = HTTPHeaders();
    location_.reset();
    return true;
  }
  if (line.empty()) return endOfHeaders();
  headerBytes_ += line.size();
  if (headerBytes_ > kMaximumHeaderBytes) {
    failure_ = transportFailure(
        "The server answered, but its response headers are larger than the limit of " +
        std::to_string(kMaximumHeaderBytes) + " bytes");
    return false;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return true;
  std::string name(line.substr(0, colon));
  std::string value(trimmingSpacesAndTabs(line.substr(colon + 1)));
  if (equalsIgnoringASCIICase(name, "Location")) location_ = value;
  if (auto earlier = headers_.value(name)) value = std::string(*earlier) + ", " + value;
  headers_.set(std::move(name), std::move(value));
  return true;
}

bool Transfer::progress(curl_off_t nowDownloaded, curl_off_t nowUploaded, curl_off_t totalUpload) {
  if (onProgress_ != nullptr) {
    bool more = false;
    try {
      more = (*onProgress_)(static_cast<std::uint64_t>(nowUploaded),
                            static_cast<std::uint64_t>(totalUpload < 0 ? 0 : totalUpload));
    } catch (...) {
      callbackException_ = std::current_exception();
      return false;
    }
    if (!more) {
      failure_ = transportFailure("The request was cancelled");
      return false;
    }
  }
  const auto now = Clock::now();
  if (exchangeLimit_ && now - started_ > *exchangeLimit_) {
    failure_ = transportFailure("The request timed out: it took longer than " +
                                describeDuration(*exchangeLimit_));
    return false;
  }
  if (nowDownloaded != downloaded_ || nowUploaded != uploaded_) {
    downloaded_ = nowDownloaded;
    uploaded_ = nowUploaded;
    lastActivity_ = now;
    return true;
  }
  if (now - lastActivity_ <= idleLimit_) return true;
  failure_ = transportFailure("The request timed out: no data for " + describeDuration(idleLimit_));
  return false;
}

size_t Transfer::onHeader(char* buffer, size_t size, size_t count, void* userdata) {
  auto& self = *static_cast<Transfer*>(userdata);
  return self.receiveHeaderLine(std::string_view(buffer, size * count)) ? size * count : 0;
}

size_t Transfer::onBody(char* buffer, size_t size, size_t count, void* userdata) {
  auto& self = *static_cast<Transfer*>(userdata);
  const std::string_view data(buffer, size * count);
  // A body after headers that looked like a redirect: libcurl did not follow it after all.
  if (!self.finalHeadersComplete_ && !self.adoptResponse()) return CURL_WRITEFUNC_ERROR;
  const bool more = self.streaming() ? self.receiveLines(data) : self.receiveBody(data);
  return more ? data.size() : CURL_WRITEFUNC_ERROR;
}

int Transfer::onTransferInfo(void* userdata, curl_off_t, curl_off_t nowDownloaded,
                             curl_off_t totalUpload, curl_off_t nowUploaded) {
  return static_cast<Transfer*>(userdata)->progress(nowDownloaded, nowUploaded, totalUpload) ? 0
                                                                                             : 1;
}

}  // namespace kestro::http
