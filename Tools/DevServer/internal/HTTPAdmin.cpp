// The admin routes, outside /v1: fault rules, statistics and how replies stream.

#include <cstdint>
#include <stdexcept>

#include "KestroCore/Foundation/JSONCoding.h"
#include "Tools/DevServer/internal/DevServerImpl.h"
#include "Tools/DevServer/internal/HTTPSupport.h"

namespace kestro::devserver {

void DevServer::Impl::admin(const httplib::Request& request, httplib::Response& response,
                            const httplib::ContentReader* reader, const std::string& path) {
  if (request.method == "POST" && !saysJSON(request)) {
    drain(request, reader);
    answer(response, notJSON());
    return;
  }
  std::string body;
  if (!readBody(request, reader, body)) {
    loopbackhttp::Connection::current().resetWhenDone();
    return;
  }
  const std::string& method = request.method;
  try {
    if (path == "/admin/faults" && method == "POST") {
      for (FaultRule& rule : FaultRule::listFromJSON(body)) faults.add(std::move(rule));
      answer(response, Reply{201, faults.listJSON()});
    } else if (path == "/admin/faults" && method == "GET") {
      answer(response, Reply{200, faults.listJSON()});
    } else if (path == "/admin/faults" && method == "DELETE") {
      faults.clear();
      answer(response, Reply{200, faults.listJSON()});
    } else if (path == "/admin/stats" && method == "GET") {
      answer(response, Reply{200, state.statsJSON()});
    } else if (path == "/admin/reply" && method == "POST") {
      state.setReplyOptions(replyOptionsFromJSON(body));
      answer(response, Reply{200, "{}"});
    } else {
      answer(response,
             errorReply(404, "NOT_FOUND", method + " " + path + " is no admin route", false));
    }
  } catch (const std::invalid_argument& error) {
    answer(response, errorReply(400, "INVALID_REQUEST", error.what(), false));
  }
}

ReplyOptions DevServer::Impl::replyOptionsFromJSON(const std::string& body) {
  JSON json;
  try {
    json = parseJSON(body);
  } catch (const DecodingError& error) {
    throw std::invalid_argument(error.what());
  }
  ReplyOptions reply;
  const auto number = [&json](const char* key, std::int64_t fallback) {
    const auto found = json.find(key);
    if (found == json.end()) return fallback;
    if (!found->is_number_integer() || found->get<std::int64_t>() < 0) {
      throw std::invalid_argument(std::string("\"") + key + "\" must be a whole number >= 0");
    }
    return found->get<std::int64_t>();
  };
  if (!json.is_object()) throw std::invalid_argument("expected a JSON object");
  reply.deltas = number("deltas", reply.deltas);
  const std::int64_t interval = number("intervalMs", reply.interval.count());
  // The same bound as a fault's delay: an hour is already no reply at all.
  if (interval > 3'600'000) throw std::invalid_argument("\"intervalMs\" must be at most 3600000");
  reply.interval = std::chrono::milliseconds(interval);
  return reply;
}

}  // namespace kestro::devserver
