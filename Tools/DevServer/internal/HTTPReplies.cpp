// POST /v1/conversations/<id>/messages: the reply to a message, streamed as server-sent events.

#include <cstdint>
#include <memory>
#include <string_view>
#include <variant>

#include "KestroCore/Foundation/JSONCoding.h"
#include "Tools/DevServer/internal/DevServerImpl.h"
#include "Tools/DevServer/internal/HTTPSupport.h"

namespace kestro::devserver {

void DevServer::Impl::streamReply(httplib::Response& response, const std::string& path,
                                  const std::optional<std::string>& authorization,
                                  const std::string& body) {
  const std::optional<UUID> user = state.authenticate(authorization);
  if (!user) {
    answer(response, errorReply(401, "UNAUTHORIZED", "A valid bearer token is required", false));
    return;
  }
  const std::string id = path.substr(std::string_view("/v1/conversations/").size(), 36);
  auto begun = state.beginReply(*user, id, body);
  if (const Reply* refusal = std::get_if<Reply>(&begun)) {
    answer(response, *refusal);
    return;
  }
  struct Progress {
    ServerState::ReplyPlan plan;
    std::int64_t next = 0;
    std::string text{};
    bool finished = false;
  };
  auto progress = std::make_shared<Progress>(
      Progress{.plan = std::get<ServerState::ReplyPlan>(std::move(begun))});
  response.status = 200;
  response.set_header("Cache-Control", "no-cache");
  response.set_chunked_content_provider(
      "text/event-stream",
      [this, progress](size_t, httplib::DataSink& sink) {
        Progress& reply = *progress;
        if (reply.plan.interval.count() > 0 && waitOrStop(reply.plan.interval)) return false;
        if (isStopping()) return false;
        std::string event;
        const bool cancelled = state.replyCancelled(reply.plan);
        if (!cancelled && reply.next < reply.plan.deltas) {
          const std::string delta = reply.plan.delta(reply.next++);
          reply.text += delta;
          event = "event: message.delta\ndata: " +
                  serializeJSON(
                      JSON{{"messageId", reply.plan.messageId.uuidString()}, {"delta", delta}}) +
                  "\n\n";
        } else {
          // Cancelled or deleted (checked again as the reply is stored), or complete.
          reply.finished = true;
          const ServerState::ReplyEnd end = state.finishReply(reply.plan, reply.text, !cancelled);
          event = "event: " + end.event + "\ndata: " + end.data + "\n\n";
        }
        if (!sink.write(event.data(), event.size())) return false;
        if (reply.finished) sink.done();
        return true;
      },
      [this, progress](bool) {
        // A client that went away mid-reply leaves the message failed, not streaming forever.
        if (!progress->finished) state.finishReply(progress->plan, progress->text, false);
      });
}

}  // namespace kestro::devserver
