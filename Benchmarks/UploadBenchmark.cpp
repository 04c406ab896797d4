// Figures for the URL session, each against a baseline measured in the same run on the same
// loopback server:
// - a large file (1 GiB unless told otherwise) sent with PUT through the session, against the
//   curl program's `curl -T FILE URL`; and the session's peak resident memory growth meanwhile;
// - 10,000 small JSON exchanges from 2 threads on one session, against bare libcurl with one
//   reused easy handle per thread; and the connections each opened.
//
// Usage: kestro-upload-benchmark [--megabytes N] [--exchanges N]

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "Benchmarks/Options.h"
#include "Benchmarks/ProcessMeasures.h"

#include "KestroCore/Platform/HTTP/URLSession.h"
#include "Testing/HTTPTestServer.h"

namespace {

using namespace kestro::benchmarks;
using kestro::testsupport::HTTPTestServer;
using kestro::testsupport::ScriptedResponse;

constexpr int kThreads = 2;
constexpr int kUploadRounds = 2;  // the best of each, after the first has warmed the page cache
constexpr int kExchangeRounds = 3;

// The file to upload, removed however the run ends.
class ScratchFile {
 public:
  ScratchFile(std::filesystem::path path, std::uint64_t megabytes) : path_(std::move(path)) {
    std::mt19937_64 generator(42);
    std::vector<std::uint64_t> block(1024 * 1024 / sizeof(std::uint64_t));
    std::ofstream out(path_, std::ios::binary);
    for (std::uint64_t index = 0; index < megabytes; ++index) {
      for (auto& word : block) word = generator();
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(block.size() * 8));
    }
    if (!out) throw std::runtime_error("cannot write " + path_.string());
  }
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void benchmarkUpload(HTTPTestServer& server, std::uint64_t megabytes) {
  server.routeSink("PUT", "/upload", ScriptedResponse{.status = 204});
  std::string url = server.baseURL() + "/upload";
  ScratchFile file(std::filesystem::temp_directory_path() /
                       ("kestro-upload-benchmark-" + std::to_string(::getpid()) + ".bin"),
                   megabytes);
  const std::uint64_t bytes = megabytes * 1024 * 1024;
  auto arrivedWhole = [&] {
    auto requests = server.requests();
    return !requests.empty() && requests.back().bodyBytes == bytes;
  };

  auto session = kestro::makeURLSession();
  kestro::HTTPRequest request{
      .url = *kestro::URL::fromString(url), .method = "PUT", .body = file.path()};
  double curlBest = 1e9;
  double sessionBest = 1e9;
  long peakGrowthKiB = 0;
  for (int round = 0; round < kUploadRounds; ++round) {
    double curlSeconds =
        runCurl({"curl", "-sS", "-o", "/dev/null", "-T", file.path().string(), url});
    if (curlSeconds < 0 || !arrivedWhole()) throw std::runtime_error("curl -T failed");
    curlBest = std::min(curlBest, curlSeconds);

    resetPeakResidentSize();
    long residentBefore = statusKiB("VmRSS:");
    auto start = Clock::now();
    auto response = session->send(request);
    double sessionSeconds = secondsSince(start);
    peakGrowthKiB = std::max(peakGrowthKiB, statusKiB("VmHWM:") - residentBefore);
    if (response.statusCode != 204 || !arrivedWhole())
      throw std::runtime_error("session upload failed");
    sessionBest = std::min(sessionBest, sessionSeconds);
  }
  double ratio = sessionBest / curlBest;
  double peakMiB = static_cast<double>(peakGrowthKiB) / 1024;
  std::printf("upload of %llu MiB, best of %d\n", static_cast<unsigned long long>(megabytes),
              kUploadRounds);
  std::printf("  curl -T (baseline)  %7.3f s  %7.0f MiB/s\n", curlBest,
              static_cast<double>(megabytes) / curlBest);
  std::printf("  session             %7.3f s  %7.0f MiB/s\n", sessionBest,
              static_cast<double>(megabytes) / sessionBest);
  std::printf("  time ratio session/curl: %.3f (target <= 1.10) %s\n", ratio,
              ratio <= 1.10 ? "met" : "MISSED");
  std::printf("  peak resident growth during the session's upload: %.1f MiB (target <= 16) %s\n",
              peakMiB, peakMiB <= 16 ? "met" : "MISSED");
}

size_t collect(char* data, size_t size, size_t count, void* userdata) {
  static_cast<std::string*>(userdata)->append(data, size * count);
  return size * count;
}

// The least a libcurl program does for the same exchanges: one easy handle per thread, reused.
void bareLibcurlExchanges(const std::string& url, int count) {
  CURL* handle = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  std::string response;
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  for (int index = 0; index < count; ++index) {
    std::string body = "{\"n\":" + std::to_string(index) + "}";
    response.clear();
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    if (curl_easy_perform(handle) != CURLE_OK || response != body)
      throw std::runtime_error("libcurl exchange failed");
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(handle);
}

void sessionExchanges(kestro::URLSession& session, const std::string& url, int count) {
  for (int index = 0; index < count; ++index) {
    kestro::HTTPRequest request{.url = *kestro::URL::fromString(url), .method = "POST"};
    request.headers.set("Content-Type", "application/json");
    request.headers.set("Accept", "application/json");
    request.body = "{\"n\":" + std::to_string(index) + "}";
    if (session.send(request).body != std::get<std::string>(request.body)) {
      throw std::runtime_error("session exchange failed");
    }
  }
}

// Runs `work` on kThreads threads; returns the seconds taken.
template <typename Work>
double onThreads(Work work) {
  std::vector<std::thread> threads;
  std::atomic<bool> failed{false};
  auto start = Clock::now();
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&] {
      try {
        work();
      } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        failed = true;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  if (failed) throw std::runtime_error("exchanges failed");
  return secondsSince(start);
}

void benchmarkExchanges(HTTPTestServer& server, int exchanges) {
  server.route("POST", "/json", [](const kestro::testsupport::ReceivedRequest& received) {
    return ScriptedResponse{.body = received.body};
  });
  std::string url = server.baseURL() + "/json";
  int perThread = exchanges / kThreads;

  double bareSeconds = 1e9;
  double sessionSeconds = 1e9;
  std::size_t bareConnections = 0;
  std::size_t sessionConnections = 0;
  // Rounds alternate so that other load on the machine falls on both alike. Each round takes a
  // new session, whose connections are counted.
  for (int round = 0; round < kExchangeRounds; ++round) {
    server.clearRecord();
    bareSeconds = std::min(bareSeconds, onThreads([&] { bareLibcurlExchanges(url, perThread); }));
    bareConnections = std::max(bareConnections, server.connectionsAccepted());

    server.clearRecord();
    auto session = kestro::makeURLSession();
    sessionSeconds =
        std::min(sessionSeconds, onThreads([&] { sessionExchanges(*session, url, perThread); }));
    sessionConnections = std::max(sessionConnections, server.connectionsAccepted());
  }

  double total = perThread * kThreads;
  std::printf("%d small JSON exchanges on %d threads, best of %d\n", perThread * kThreads, kThreads,
              kExchangeRounds);
  std::printf("  bare libcurl (baseline)  %8.0f requests/s  %zu connections\n", total / bareSeconds,
              bareConnections);
  std::printf("  session                  %8.0f requests/s  %zu connections (target <= %d) %s\n",
              total / sessionSeconds, sessionConnections, kThreads,
              sessionConnections <= static_cast<std::size_t>(kThreads) ? "met" : "MISSED");
  std::printf("  time ratio session/bare libcurl: %.3f\n", sessionSeconds / bareSeconds);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t megabytes = 1024;
  int exchanges = 10000;
  const std::optional<int> status = readOptions(
      argc, argv,
      "usage: kestro-upload-benchmark [--megabytes N] [--exchanges N]\n"
      "Uploads a file of N MiB (default 1024) through the URL session and with curl -T, then\n"
      "times N small exchanges (default 10000) each way.\n",
      {{"--megabytes", [&](const std::string& value) { megabytes = std::stoull(value); }},
       {"--exchanges", [&](const std::string& value) { exchanges = std::stoi(value); }}});
  if (status) return *status;
  try {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    HTTPTestServer server;
    benchmarkUpload(server, megabytes);
    benchmarkExchanges(server, exchanges);
  } catch (const std::exception& error) {
    std::cerr << "kestro-upload-benchmark: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
