#include "KestroCore/API/ConversationEventStream.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "KestroCore/API/internal/ConversationEventParser.h"
#include "KestroCore/Models/KestroAPIError.h"

namespace kestro {

// What the producer and the consumer share. Lives on the heap so that moving the stream does
// not move it under the producer.
struct ConversationEventStream::Channel {
  // Set by the consumer's side when the stream is dropped; read by the producer's callbacks.
  std::atomic<bool> cancelled{false};

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<ConversationEvent> events;
  bool finished = false;
  std::exception_ptr failure;

  // Queues an event; `last` finishes the stream with it, so that the consumer sees the end at
  // once rather than after the connection has been taken down.
  void push(ConversationEvent event, bool last) {
    {
      std::lock_guard lock(mutex);
      if (finished) return;
      events.push_back(std::move(event));
      finished = last;
    }
    changed.notify_one();
  }

  // Finishes the stream, with `error` or normally; a stream already finished stays as it was.
  void finish(std::exception_ptr error) noexcept {
    {
      std::lock_guard lock(mutex);
      if (finished) return;
      finished = true;
      failure = std::move(error);
    }
    changed.notify_one();
  }
};

namespace {

bool isSuccess(const std::optional<int>& status) noexcept {
  return status && *status >= 200 && *status <= 299;
}

}  // namespace

void ConversationEventStream::produce(Channel& channel, const std::shared_ptr<URLSession>& session,
                                      const RequestFactory& makeRequest) noexcept {
  std::exception_ptr failure;
  try {
    HTTPRequest request = makeRequest();
    request.maximumLineBytes = kMaximumLineBytes;
    // Called every few tens of milliseconds even while nothing arrives: the way a dropped
    // stream reaches an exchange that is waiting for a silent server.
    request.onProgress = [&channel](std::uint64_t, std::uint64_t) {
      return !channel.cancelled.load(std::memory_order_relaxed);
    };
    ConversationEventParser parser;
    const HTTPResponse response = session->sendStreamingLines(
        request,
        [&channel](const HTTPResponse& head) {
          // An error answer is not read: its body is no event stream.
          return isSuccess(head.statusCode) && !channel.cancelled.load(std::memory_order_relaxed);
        },
        [&channel, &parser](std::string_view line) {
          if (channel.cancelled.load(std::memory_order_relaxed)) return false;
          // A DecodingError thrown here ends the exchange and comes back out of
          // sendStreamingLines unchanged.
          std::optional<ConversationEvent> event = parser.consumeLine(line);
          if (!event) return true;
          const bool last = ConversationEventParser::endsStream(*event);
          channel.push(std::move(*event), last);
          return !last;
        });
    if (!isSuccess(response.statusCode)) throw KestroAPIError::invalidResponse();
  } catch (...) {
    failure = std::current_exception();
  }
  // Published only once the handler has ended, so that from here on the pointer alone holds the
  // exception and the consumer, taking it under the channel's lock, is the one to free it.
  // Published from inside the handler, this thread could drop the last reference after the
  // consumer had read the exception: ordered by the runtime's own atomic count, but invisible
  // to ThreadSanitizer, which then reports a race.
  channel.finish(std::move(failure));
}

ConversationEventStream::ConversationEventStream(std::shared_ptr<URLSession> session,
                                                 RequestFactory makeRequest)
    : channel_(std::make_unique<Channel>()) {
  if (session == nullptr) throw std::invalid_argument("ConversationEventStream needs a session");
  producer_ = std::thread(
      [channel = channel_.get(), session = std::move(session),
       makeRequest = std::move(makeRequest)] { produce(*channel, session, makeRequest); });
}

ConversationEventStream::~ConversationEventStream() { stop(); }

ConversationEventStream::ConversationEventStream(ConversationEventStream&& other) noexcept
    : channel_(std::move(other.channel_)), producer_(std::move(other.producer_)) {}

ConversationEventStream& ConversationEventStream::operator=(
    ConversationEventStream&& other) noexcept {
  if (this != &other) {
    stop();
    channel_ = std::move(other.channel_);
    producer_ = std::move(other.producer_);
  }
  return *this;
}

void ConversationEventStream::stop() noexcept {
  if (!producer_.joinable()) return;
  channel_->cancelled.store(true, std::memory_order_relaxed);
  producer_.join();
}

std::optional<ConversationEvent> ConversationEventStream::next() {
  if (channel_ == nullptr) {
    throw std::logic_error("ConversationEventStream::next on a moved-from stream");
  }
  Channel& channel = *channel_;
  std::unique_lock lock(channel.mutex);
  channel.changed.wait(lock, [&channel] { return !channel.events.empty() || channel.finished; });
  if (!channel.events.empty()) {
    ConversationEvent event = std::move(channel.events.front());
    channel.events.pop_front();
    return event;
  }
  if (channel.failure) std::rethrow_exception(std::exchange(channel.failure, nullptr));
  return std::nullopt;
}

}  // namespace kestro
