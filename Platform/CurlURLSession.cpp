// The URL session on libcurl.
//
// Each exchange borrows a transfer handle (an easy handle and the multi handle that runs it)
// from the session's pool and runs it on the caller's thread. The multi handle keeps the
// connection cache, and libcurl's shared connection cache is not safe across threads, so a
// connection is only ever used by the one thread holding its handle. The pool hands a thread
// the handle it used last when it can, else the most recently returned one: a handle that moves
// between threads on every exchange costs a third of the throughput of small exchanges. DNS
// answers and TLS sessions are shared through a CURLSH guarded by our own locks.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <curl/curl.h>

#include "Platform/URLSession.h"

namespace kestro {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kAllowedProtocols = "http,https";
// Handles beyond this many are closed when given back, so a burst of threads does not leave
// a crowd of idle connections behind.
constexpr std::size_t kMaximumIdleHandles = 16;
// How often a transfer wakes up without network activity, so that its idle limit is checked.
// curl_easy_perform would wake only once a second.
constexpr int kIdleCheckMilliseconds = 50;
// libcurl's default of 64 KiB makes a large upload cost twice the read calls for no gain.
constexpr long kUploadBufferBytes = 512 * 1024;

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

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const noexcept { return fd_; }

 private:
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_;
};

URLSessionError invalidRequest(std::string description) {
  return URLSessionError(URLSessionError::Kind::invalidRequest, std::move(description));
}

URLSessionError transportFailure(std::string description) {
  return URLSessionError(URLSessionError::Kind::transport, std::move(description));
}

std::string systemMessage(int error) {
  return std::error_code(error, std::generic_category()).message();
}

std::string describeDuration(std::chrono::milliseconds duration) {
  if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " s";
  return std::to_string(duration.count()) + " ms";
}

// The one place where a libcurl failure becomes ours. `osError` is CURLINFO_OS_ERRNO, which
// carries the reason ("Connection refused") that libcurl's own text leaves out.
URLSessionError sessionError(CURLcode code, long osError, std::string_view detail) {
  std::string summary;
  auto kind = URLSessionError::Kind::transport;
  switch (code) {
    case CURLE_URL_MALFORMAT:
      kind = URLSessionError::Kind::invalidRequest;
      summary = "The URL is not valid";
      break;
    case CURLE_UNSUPPORTED_PROTOCOL:
      // Our own checks refuse other schemes before libcurl sees them, so what remains is a
      // peer that answered in something other than HTTP (libcurl calls that HTTP/0.9).
      summary = "The server's answer is not HTTP";
      break;
    case CURLE_WEIRD_SERVER_REPLY:
      summary = "The server's answer is not valid HTTP";
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
      summary = "A server with the specified hostname could not be found";
      break;
    case CURLE_COULDNT_RESOLVE_PROXY:
      summary = "The proxy could not be found";
      break;
    case CURLE_COULDNT_CONNECT:
      summary = "Could not connect to the server";
      break;
    case CURLE_OPERATION_TIMEDOUT:
      summary = "The request timed out";
      break;
    case CURLE_GOT_NOTHING:
      summary = "The server closed the connection without answering";
      break;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      summary = "The network connection was lost";
      break;
    case CURLE_TOO_MANY_REDIRECTS:
      summary = "Too many HTTP redirects";
      break;
    case CURLE_SEND_FAIL_REWIND:
      summary = "The request body could not be sent again after a redirect";
      break;
    case CURLE_PEER_FAILED_VERIFICATION:
      summary = "The certificate of the server is not valid";
      break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      summary = "A secure connection to the server could not be made";
      break;
    case CURLE_OUT_OF_MEMORY:
      summary = "Out of memory";
      break;
    default:
      summary = "The request failed";
      break;
  }
  std::string description = summary;
  if (osError != 0) description += ": " + systemMessage(static_cast<int>(osError));
  description += " (";
  description += detail.empty() ? std::string_view(curl_easy_strerror(code)) : detail;
  description += ")";
  return URLSessionError(kind, std::move(description));
}

// The multi interface fails only on misuse or lack of memory.
URLSessionError sessionError(CURLMcode code) {
  return transportFailure(std::string("The request failed (") + curl_multi_strerror(code) + ")");
}

void initializeLibcurl() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
      throw sessionError(code, 0, "curl_global_init");
    }
  });
}

template <typename Value>
void setOption(CURL* handle, CURLoption option, Value value) {
  if (CURLcode code = curl_easy_setopt(handle, option, value); code != CURLE_OK) {
    throw sessionError(code, 0, "curl_easy_setopt");
  }
}

// --- Checking a request -------------------------------------------------------------------

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

bool isHTTPScheme(std::string_view scheme) {
  return equalsIgnoringCase(scheme, "http") || equalsIgnoringCase(scheme, "https");
}

// RFC 9110 `token`: what a method and a field name may be made of.
bool isToken(std::string_view text) {
  constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           kSymbols.find(c) != std::string_view::npos;
  });
}

// A control character in a value could end the header early and start another one of the
// peer's choosing; tab is the only one HTTP allows.
bool isFieldValue(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7f;
  });
}

// Headers that describe the body's framing, which the session derives from the body itself.
bool isFramingHeader(std::string_view name) {
  return equalsIgnoringCase(name, "Content-Length") ||
         equalsIgnoringCase(name, "Transfer-Encoding");
}

void checkRequest(const HTTPRequest& request) {
  const URL& url = request.url;
  if (!isHTTPScheme(url.scheme())) {
    throw invalidRequest("Only http and https URLs can be requested, not \"" +
                         std::string(url.scheme()) + ":\"");
  }
  if (!url.host() || url.host()->empty()) {
    throw invalidRequest("The URL names no host: " + url.absoluteString());
  }
  if (!isToken(request.method)) {
    throw invalidRequest("Not an HTTP method: \"" + request.method + "\"");
  }
  if (request.method == "HEAD" && request.body.index() != 0) {
    throw invalidRequest("A HEAD request cannot carry a body");
  }
  for (const auto& [name, value] : request.headers.entries()) {
    if (!isToken(name)) throw invalidRequest("Not a valid header name: \"" + name + "\"");
    if (!isFieldValue(value)) {
      throw invalidRequest("The value of header \"" + name + "\" holds a control character");
    }
  }
}

// A Location header's scheme, if it names one (a relative reference keeps the current one).
std::optional<std::string_view> locationScheme(std::string_view location) {
  auto colon = location.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  auto scheme = location.substr(0, colon);
  auto isSchemeChar = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
  };
  bool startsWithLetter =
      (scheme[0] >= 'A' && scheme[0] <= 'Z') || (scheme[0] >= 'a' && scheme[0] <= 'z');
  if (!startsWithLetter || !std::all_of(scheme.begin(), scheme.end(), isSchemeChar)) {
    return std::nullopt;
  }
  return scheme;
}

// --- The body sent --------------------------------------------------------------------------

// Where libcurl's read callback takes the request body from: the request's own string, or a
// file read as it goes. Seeking lets libcurl start again from the beginning after a redirect.
class BodySource {
 public:
  static BodySource make(const HTTPRequest& request) {
    BodySource source;
    if (auto* text = std::get_if<std::string>(&request.body)) {
      source.memory_ = text;
      source.length_ = text->size();
    } else if (auto* path = std::get_if<std::filesystem::path>(&request.body)) {
      source.path_ = *path;
      source.file_ = FileDescriptor(::open(path->c_str(), O_RDONLY | O_CLOEXEC));
      if (source.file_.get() < 0) {
        throw transportFailure("Could not open the file " + path->string() + ": " +
                               systemMessage(errno));
      }
      struct stat status {};
      if (::fstat(source.file_.get(), &status) != 0) {
        throw transportFailure("Could not read the file " + path->string() + ": " +
                               systemMessage(errno));
      }
      // A FIFO or a device has no length to announce and might never end.
      if (!S_ISREG(status.st_mode)) throw transportFailure("Not a regular file: " + path->string());
      source.length_ = static_cast<std::uint64_t>(status.st_size);
      ::posix_fadvise(source.file_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    return source;
  }

  std::uint64_t length() const noexcept { return length_; }
  const std::optional<URLSessionError>& failure() const noexcept { return failure_; }

  static size_t read(char* buffer, size_t size, size_t count, void* userdata) {
    auto& self = *static_cast<BodySource*>(userdata);
    std::uint64_t wanted = std::min<std::uint64_t>(size * count, self.length_ - self.offset_);
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

  static int seek(void* userdata, curl_off_t offset, int origin) {
    auto& self = *static_cast<BodySource*>(userdata);
    if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > self.length_) {
      return CURL_SEEKFUNC_CANTSEEK;
    }
    self.offset_ = static_cast<std::uint64_t>(offset);
    return CURL_SEEKFUNC_OK;
  }

 private:
  const std::string* memory_ = nullptr;
  std::filesystem::path path_;
  FileDescriptor file_;
  std::uint64_t length_ = 0;
  std::uint64_t offset_ = 0;
  std::optional<URLSessionError> failure_;
};

// The request headers as libcurl's list, built once: our map has already removed duplicates,
// which libcurl would otherwise send as they are.
HeaderList makeHeaderList(const HTTPRequest& request, bool sendsBody) {
  curl_slist* list = nullptr;
  auto append = [&list](const std::string& line) {
    curl_slist* extended = curl_slist_append(list, line.c_str());
    if (extended == nullptr) {
      curl_slist_free_all(list);
      throw transportFailure("Out of memory");
    }
    list = extended;
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
  return HeaderList(list);
}

// --- One exchange ----------------------------------------------------------------------------

// The state of one transfer, shared with libcurl's callbacks. Callbacks never let an exception
// through libcurl's C frames: they record it and stop the transfer instead.
struct Transfer {
  Transfer(const URLSessionConfiguration& configuration, std::chrono::milliseconds idleLimit,
           const std::function<bool(const HTTPResponse&)>* onResponse = nullptr,
           const std::function<bool(std::string_view)>* onLine = nullptr)
      : configuration(configuration),
        idleLimit(idleLimit),
        onResponse(onResponse),
        onLine(onLine) {}
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  const URLSessionConfiguration& configuration;
  std::chrono::milliseconds idleLimit;
  // libcurl keeps a custom method string on a 303 even as it drops the body.
  bool holdSeeOther = false;

  // Streaming: present only for sendStreamingLines.
  const std::function<bool(const HTTPResponse&)>* onResponse = nullptr;
  const std::function<bool(std::string_view)>* onLine = nullptr;
  std::string partialLine;

  // The response being read: each new status line (a redirect, a "100 Continue") starts over.
  int status = 0;
  HTTPHeaders headers;
  std::optional<std::string> location;
  bool finalHeadersComplete = false;
  HTTPResponse response;

  // Idleness: the time the byte counts last moved.
  curl_off_t downloaded = 0;
  curl_off_t uploaded = 0;
  Clock::time_point lastActivity = Clock::now();

  // How the transfer ended when a callback stopped it.
  bool stoppedByCaller = false;
  bool seeOtherHeld = false;
  std::optional<URLSessionError> failure;
  std::exception_ptr callbackException;

  std::array<char, CURL_ERROR_SIZE> errorBuffer{};

  bool streaming() const noexcept { return onLine != nullptr; }

  // Returns false to stop the transfer.
  bool deliverResponse() {
    if (!streaming()) return true;
    try {
      if ((*onResponse)(response)) return true;
      stoppedByCaller = true;
    } catch (...) {
      callbackException = std::current_exception();
    }
    return false;
  }

  bool deliverLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    try {
      if ((*onLine)(line)) return true;
      stoppedByCaller = true;
    } catch (...) {
      callbackException = std::current_exception();
    }
    return false;
  }

  bool lineTooLong(std::size_t length) {
    if (length <= configuration.maximumLineBytes) return false;
    failure = transportFailure("A line of the response is longer than the limit of " +
                               std::to_string(configuration.maximumLineBytes) + " bytes");
    return true;
  }

  bool receiveLines(std::string_view data) {
    while (!data.empty()) {
      auto newline = data.find('\n');
      if (newline == std::string_view::npos) {
        if (lineTooLong(partialLine.size() + data.size())) return false;
        partialLine.append(data);
        return true;
      }
      auto piece = data.substr(0, newline);
      data.remove_prefix(newline + 1);
      if (lineTooLong(partialLine.size() + piece.size())) return false;
      bool more;
      if (partialLine.empty()) {
        more = deliverLine(piece);
      } else {
        partialLine.append(piece);
        more = deliverLine(partialLine);
        partialLine.clear();
      }
      if (!more) return false;
    }
    return true;
  }

  bool receiveBody(std::string_view data) {
    if (data.size() > configuration.maximumBodyBytes - response.body.size()) {
      failure = transportFailure("The response body is larger than the limit of " +
                                 std::to_string(configuration.maximumBodyBytes) + " bytes");
      return false;
    }
    response.body.append(data);
    return true;
  }

  // Returns false to stop the transfer.
  bool endOfHeaders() {
    if (status >= 100 && status < 200) return true;
    if (status >= 300 && status < 400 && location) {
      // libcurl follows any 3xx that names a location.
      if (auto scheme = locationScheme(*location); scheme && !isHTTPScheme(*scheme)) {
        failure = invalidRequest("The server redirected to a URL that is not http or https: " +
                                 *location);
        return false;
      }
      if (status != 303 || !holdSeeOther) return true;
      seeOtherHeld = true;
    }
    return adoptResponse() && !seeOtherHeld;
  }

  // Makes the response being read the final one. Returns false to stop the transfer.
  bool adoptResponse() {
    finalHeadersComplete = true;
    response.statusCode = status;
    response.headers = std::move(headers);
    return deliverResponse();
  }

  bool receiveHeaderLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    // Trailers of a chunked body come through here too; they are not part of the response.
    if (finalHeadersComplete) return true;
    if (line.starts_with("HTTP/")) {
      status = 0;
      auto space = line.find(' ');
      if (space != std::string_view::npos && line.size() >= space + 4) {
        for (char digit : line.substr(space + 1, 3)) {
          if (digit < '0' || digit > '9') {
            status = 0;
            break;
          }
          status = status * 10 + (digit - '0');
        }
      }
      headers = HTTPHeaders();
      location.reset();
      return true;
    }
    if (line.empty()) return endOfHeaders();
    auto trim = [](std::string_view text) {
      auto begin = text.find_first_not_of(" \t");
      if (begin == std::string_view::npos) return std::string_view();
      return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
    };
    auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return true;
    std::string name(line.substr(0, colon));
    std::string value(trim(line.substr(colon + 1)));
    if (equalsIgnoringCase(name, "Location")) location = value;
    if (auto earlier = headers.value(name)) value = std::string(*earlier) + ", " + value;
    headers.set(std::move(name), std::move(value));
    return true;
  }

  bool progress(curl_off_t nowDownloaded, curl_off_t nowUploaded) {
    auto now = Clock::now();
    if (nowDownloaded != downloaded || nowUploaded != uploaded) {
      downloaded = nowDownloaded;
      uploaded = nowUploaded;
      lastActivity = now;
      return true;
    }
    if (now - lastActivity <= idleLimit) return true;
    failure = transportFailure("The request timed out: no data for " + describeDuration(idleLimit));
    return false;
  }

  // libcurl's C callbacks.
  static size_t onHeader(char* buffer, size_t size, size_t count, void* userdata) {
    auto& self = *static_cast<Transfer*>(userdata);
    return self.receiveHeaderLine(std::string_view(buffer, size * count)) ? size * count : 0;
  }

  static size_t onBody(char* buffer, size_t size, size_t count, void* userdata) {
    auto& self = *static_cast<Transfer*>(userdata);
    std::string_view data(buffer, size * count);
    // A body after headers that looked like a redirect: libcurl did not follow it after all.
    if (!self.finalHeadersComplete && !self.adoptResponse()) return CURL_WRITEFUNC_ERROR;
    bool more = self.streaming() ? self.receiveLines(data) : self.receiveBody(data);
    return more ? data.size() : CURL_WRITEFUNC_ERROR;
  }

  static int onProgress(void* userdata, curl_off_t, curl_off_t nowDownloaded, curl_off_t,
                        curl_off_t nowUploaded) {
    return static_cast<Transfer*>(userdata)->progress(nowDownloaded, nowUploaded) ? 0 : 1;
  }
};

// Who owns the DNS cache and TLS sessions that every handle of one session shares. libcurl
// locks each kind of shared data through these callbacks.
class SharedCaches {
 public:
  SharedCaches() : share_(curl_share_init()) {
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
  SharedCaches(const SharedCaches&) = delete;
  SharedCaches& operator=(const SharedCaches&) = delete;

  CURLSH* get() const noexcept { return share_.get(); }

 private:
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* userdata) {
    static_cast<SharedCaches*>(userdata)->mutexes_.at(data).lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* userdata) {
    static_cast<SharedCaches*>(userdata)->mutexes_.at(data).unlock();
  }

  // Declared before the share so that they outlive its cleanup, which locks them.
  std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
  std::unique_ptr<CURLSH, ShareCleanup> share_;
};

// An easy handle and the multi handle that runs it, which keeps its open connections between
// exchanges. Used by one thread at a time.
class TransferHandle {
 public:
  explicit TransferHandle(CURLSH* share) : multi_(curl_multi_init()), easy_(curl_easy_init()) {
    if (!multi_ || !easy_) throw transportFailure("Could not create a libcurl handle");
    setOption(easy_.get(), CURLOPT_SHARE, share);
  }

  CURL* easy() const noexcept { return easy_.get(); }

  // Runs the transfer configured on the easy handle to its end.
  CURLcode perform() {
    CURLM* multi = multi_.get();
    CURL* easy = easy_.get();
    CURLMcode status = curl_multi_add_handle(multi, easy);
    if (status != CURLM_OK) throw sessionError(status);
    int running = 1;
    while (running > 0 && status == CURLM_OK) {
      // Each call runs the transfer-info callback, which checks the idle limit.
      status = curl_multi_perform(multi, &running);
      if (status == CURLM_OK && running > 0) {
        status = curl_multi_poll(multi, nullptr, 0, kIdleCheckMilliseconds, nullptr);
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

class CurlURLSession final : public URLSession {
 public:
  explicit CurlURLSession(URLSessionConfiguration configuration)
      : configuration_(std::move(configuration)) {}

  HTTPResponse send(const HTTPRequest& request) override {
    Transfer transfer(configuration_, idleLimit(request));
    return perform(request, transfer);
  }

  HTTPResponse sendStreamingLines(
      const HTTPRequest& request, const std::function<bool(const HTTPResponse&)>& onResponse,
      const std::function<bool(std::string_view line)>& onLine) override {
    Transfer transfer(configuration_, idleLimit(request), &onResponse, &onLine);
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
    setOption(handle, CURLOPT_MAXREDIRS, configuration_.maximumRedirects);
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
    setOption(handle, CURLOPT_ERRORBUFFER, transfer.errorBuffer.data());
    setOption(handle, CURLOPT_HTTPHEADER, headers);
    setOption(handle, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    setOption(handle, CURLOPT_HEADERDATA, &transfer);
    setOption(handle, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    setOption(handle, CURLOPT_WRITEDATA, &transfer);
    setOption(handle, CURLOPT_NOPROGRESS, 0L);
    setOption(handle, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    setOption(handle, CURLOPT_XFERINFODATA, &transfer);

    const std::string& method = request.method;
    bool hasBody = request.body.index() != 0;
    auto length = static_cast<curl_off_t>(body.length());
    if (method == "HEAD") {
      setOption(handle, CURLOPT_NOBODY, 1L);
      return;
    }
    if (method == "POST") {
      // libcurl's own POST, so that a 301, 302 or 303 turns it into a GET as clients do.
      setOption(handle, CURLOPT_POST, 1L);
      if (auto* text = std::get_if<std::string>(&request.body)) {
        setOption(handle, CURLOPT_POSTFIELDS, text->data());
        setOption(handle, CURLOPT_POSTFIELDSIZE_LARGE, length);
      } else if (hasBody) {
        useBodySource(handle, body);
        setOption(handle, CURLOPT_POSTFIELDSIZE_LARGE, length);
      } else {
        setOption(handle, CURLOPT_POSTFIELDS, "");
        setOption(handle, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
      }
      return;
    }
    bool sendsEmptyBody = !hasBody && (method == "PUT" || method == "PATCH");
    if (hasBody || sendsEmptyBody) {
      // Every other body goes as libcurl's upload, which it repeats on a 301 or 302 (where a
      // POST-style body would be dropped while a custom method string stays).
      setOption(handle, CURLOPT_UPLOAD, 1L);
      setOption(handle, CURLOPT_INFILESIZE_LARGE, length);
      useBodySource(handle, body);
    } else {
      setOption(handle, CURLOPT_HTTPGET, 1L);
    }
    if (method != (hasBody || sendsEmptyBody ? "PUT" : "GET")) {
      setOption(handle, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    transfer.holdSeeOther = method != "GET" && method != "PUT";
  }

  static void useBodySource(CURL* handle, BodySource& body) {
    setOption(handle, CURLOPT_READFUNCTION, &BodySource::read);
    setOption(handle, CURLOPT_READDATA, &body);
    setOption(handle, CURLOPT_SEEKFUNCTION, &BodySource::seek);
    setOption(handle, CURLOPT_SEEKDATA, &body);
    setOption(handle, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
  }

  HTTPResponse perform(const HTTPRequest& request, Transfer& transfer) {
    checkRequest(request);
    BodySource body = BodySource::make(request);
    bool sendsBody = request.body.index() != 0 || request.method == "POST" ||
                     request.method == "PUT" || request.method == "PATCH";
    HeaderList headers = makeHeaderList(request, sendsBody);

    Lease lease = borrow();
    configure(lease->easy(), request, transfer, body, headers.get());
    transfer.lastActivity = Clock::now();
    CURLcode code = lease->perform();

    if (transfer.callbackException) std::rethrow_exception(transfer.callbackException);
    if (code != CURLE_OK && !transfer.stoppedByCaller && !transfer.seeOtherHeld) {
      if (transfer.failure) throw *transfer.failure;
      if (body.failure()) throw *body.failure();
      long osError = 0;
      curl_easy_getinfo(lease->easy(), CURLINFO_OS_ERRNO, &osError);
      throw sessionError(code, osError, transfer.errorBuffer.data());
    }
    if (transfer.status == 0) throw transportFailure("The server's answer is not HTTP");
    if (!transfer.finalHeadersComplete) {
      // The last answer looked like a redirect, but libcurl did not follow it.
      transfer.adoptResponse();
    } else if (transfer.streaming() && code == CURLE_OK && !transfer.partialLine.empty()) {
      transfer.deliverLine(transfer.partialLine);
    }
    if (transfer.callbackException) std::rethrow_exception(transfer.callbackException);
    return std::move(transfer.response);
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
