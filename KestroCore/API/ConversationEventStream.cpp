#include "KestroCore/API/ConversationEventStream.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "KestroCore/API/internal/ConversationEventParser.h"
#include "KestroCore/Models/KestroAPIError.h"

namespace kestro {

// What the producer and the consumer share. Lives on the heap so that moving the stream does
// not move it under the producer.
struct ConversationEventStream::Channel {
  // Set by the consumer's side when the stream is dropped; read by the producer's callbacks.
  std::atomic<bool> cancelled{false};

  explicit Channel(std::size_t capacity) : capacity(capacity == 0 ? 1 : capacity) {}

  const std::size_t capacity;
  std::mutex mutex;
  std::condition_variable changed;  // for the consumer: an event or the finish
  std::condition_variable room;     // for the producer: room in the queue, or the stream dropped
  std::deque<ConversationEvent> events;
  bool finished = false;
  std::exception_ptr failure;

  // Queues an event, first waiting for room; `last` finishes the stream with it, so that the
  // consumer sees the end at once rather than after the connection has been taken down. Returns
  // false when the stream was dropped meanwhile.
  bool push(ConversationEvent event, bool last) {
    {
      std::unique_lock lock(mutex);
      room.wait(lock, [this] {
        return events.size() < capacity || cancelled.load(std::memory_order_relaxed);
      });
      if (cancelled.load(std::memory_order_relaxed)) return false;
      if (finished) return true;
      events.push_back(std::move(event));
      finished = last;
    }
    changed.notify_one();
    return true;
  }

  // Tells a producer waiting for room that nobody will make any. Under the lock, so that the
  // producer cannot check for room, miss this, and then wait for ever.
  void cancel() noexcept {
    {
      std::lock_guard lock(mutex);
      cancelled.store(true, std::memory_order_relaxed);
    }
    room.notify_one();
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
                                      const RequestFactory& makeRequest,
                                      std::size_t maximumReplyBytes) noexcept {
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
    std::size_t replyBytes = 0;
    const HTTPResponse response = session->sendStreamingLines(
        request,
        [&channel](const HTTPResponse& head) {
          // An error answer is not read: its body is no event stream.
          return isSuccess(head.statusCode) && !channel.cancelled.load(std::memory_order_relaxed);
        },
        [&channel, &parser, &replyBytes, maximumReplyBytes](std::string_view line) {
          if (channel.cancelled.load(std::memory_order_relaxed)) return false;
          // Counted whether or not the line makes an event: a reply is bounded as a whole.
          replyBytes += line.size() + 1;
          if (replyBytes > maximumReplyBytes) {
            throw URLSessionError(URLSessionError::Kind::transport,
                                  "The reply is larger than the limit of " +
                                      std::to_string(maximumReplyBytes) +
                                      " bytes; the rest was not read");
          }
          // A DecodingError thrown here ends the exchange and comes back out of
          // sendStreamingLines unchanged.
          std::optional<ConversationEvent> event = parser.consumeLine(line);
          if (!event) return true;
          const bool last = ConversationEventParser::endsStream(*event);
          return channel.push(std::move(*event), last) && !last;
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
                                                 RequestFactory makeRequest, Limits limits)
    : channel_(std::make_unique<Channel>(limits.maximumQueuedEvents)) {
  if (session == nullptr) throw std::invalid_argument("ConversationEventStream needs a session");
  producer_ = std::thread([channel = channel_.get(), session = std::move(session),
                           makeRequest = std::move(makeRequest),
                           maximumReplyBytes = limits.maximumReplyBytes] {
    produce(*channel, session, makeRequest, maximumReplyBytes);
  });
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
  channel_->cancel();
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
    lock.unlock();
    channel.room.notify_one();
    return event;
  }
  if (channel.failure) std::rethrow_exception(std::exchange(channel.failure, nullptr));
  return std::nullopt;
}

}  // namespace kestro
