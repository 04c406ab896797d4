#pragma once

// The reply to a conversation message as it arrives: server-sent events, read by one consumer
// while a thread of the stream's own receives them.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "KestroCore/Models/JSONValue.h"
#include "KestroCore/Platform/HTTP/URLSession.h"

namespace kestro {

// One event of a reply: the name from its "event: " line and the payload of the "data: " line
// that followed it. Names other than "message.completed" and "message.failed" (which end the
// reply) are passed on without interpretation.
struct ConversationEvent {
  std::string name;
  JSONValue data;

  bool operator==(const ConversationEvent&) const = default;
};

// What one stream may hold, so that its memory stays bounded whatever the server sends.
struct ConversationEventStreamLimits {
  // The bytes of all the reply's lines together (terminators included). Past it the stream
  // ends with a URLSessionError (transport) after the events before it: an endless reply
  // would otherwise grow without end in whoever keeps what it says.
  std::size_t maximumReplyBytes = 64u * 1024 * 1024;
  // Events received but not yet taken by `next()`. When that many wait, the producer waits
  // for the consumer, and the server for the producer, rather than queueing more.
  std::size_t maximumQueuedEvents = 64;
};

// The events of one exchange, in the order they arrived.
//
// Threads. The constructor starts one producing thread and returns at once. That thread runs the
// exchange and queues each event as soon as its "data: " line has arrived; when the queue is
// full (see ConversationEventStreamLimits) it waits for the consumer, so a slow consumer holds
// the server back, never loses events and never costs memory without bound. `next()` is for one
// consumer at a time: calls must not overlap (calls from different threads one after another are
// fine).
//
// Dropping the stream (destroying it, or assigning another to it) aborts the exchange and joins
// the producer: it returns within about one tick of the session's progress callback (some 50 ms)
// whether the server is streaming, silent or has not answered yet. No thread is left behind and
// nothing more is read. Not guaranteed: while a TCP connection is still being set up, libcurl may
// call the progress callback less often; the session's connect timeout bounds that wait.
//
// Ownership: movable, not copyable. A moved-from stream holds nothing; `next()` on it throws
// std::logic_error.
//
// How it finishes: normally after a "message.completed" or "message.failed" event (the last one
// delivered) or when the response ends; or with one error, thrown by `next()` after every event
// queued before it:
//   - KestroAPIError::invalidResponse: the request URL could not be formed, or the answer was not
//     HTTP or not 2xx (its body is not read, so nothing was delivered);
//   - URLSessionError, unchanged: the exchange could not start or broke off (no connection, no
//     data for the request's timeout, a line longer than kMaximumLineBytes), or the reply grew
//     past its limit;
//   - DecodingError: a "data: " payload is not JSON;
//   - EncodingError: the request body could not be encoded (raised while building the request);
//   - anything else the request factory throws.
// Nothing is delivered after the finish.
//
// Not guaranteed: that a server which never sends a terminal event ends the stream before its
// response ends, its idle timeout strikes or the reply reaches its limit.
class ConversationEventStream {
 public:
  // The longest line accepted. Longer ones end the stream with a URLSessionError rather than
  // filling memory, whatever the session's own limit.
  static constexpr std::size_t kMaximumLineBytes = 16u * 1024 * 1024;

  // Builds the request on the producing thread; what the factory throws ends the stream.
  using RequestFactory = std::function<HTTPRequest()>;
  using Limits = ConversationEventStreamLimits;

  // Starts producing: `makeRequest` runs on the new thread, and its request is sent through
  // `session` with the line limit above and a progress callback that lets the stream cancel it
  // (both replace what the factory set), within `limits`. Throws std::invalid_argument for a null
  // session, and std::system_error if no thread can be started.
  ConversationEventStream(std::shared_ptr<URLSession> session, RequestFactory makeRequest,
                          Limits limits = {});
  ~ConversationEventStream();

  ConversationEventStream(ConversationEventStream&& other) noexcept;
  ConversationEventStream& operator=(ConversationEventStream&& other) noexcept;
  ConversationEventStream(const ConversationEventStream&) = delete;
  ConversationEventStream& operator=(const ConversationEventStream&) = delete;

  // Blocks until the next event and returns it; returns nothing once the stream has finished
  // normally. When it finished with an error, the first call after the last event throws that
  // error and later calls return nothing.
  std::optional<ConversationEvent> next();

 private:
  struct Channel;

  // The producing thread's whole work: one exchange, its lines turned into events.
  static void produce(Channel& channel, const std::shared_ptr<URLSession>& session,
                      const RequestFactory& makeRequest, std::size_t maximumReplyBytes) noexcept;
  void stop() noexcept;

  std::unique_ptr<Channel> channel_;
  std::thread producer_;
};

}  // namespace kestro
