#pragma once

// What the state's routes share: their answers, reading a JSON body and query parameters.
// Every function here is called with the state's mutex held or needs none.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "KestroCore/Foundation/Date.h"
#include "KestroCore/Foundation/JSONCoding.h"
#include "KestroCore/Models/JSONValue.h"
#include "Tools/DevServer/internal/ServerState.h"

namespace kestro::devserver {

// Leaves a handler early with an answer; caught in ServerState::handle.
struct Refusal {
  Reply reply;
};

Date now();

std::string text(const JSON& json);

Reply jsonReply(int status, const JSON& json);

Reply notFound(std::string_view what);

Reply noContent();

// The body as a JSON object; a Refusal (400 INVALID_REQUEST) for anything else.
JSON parseBody(const std::string& body);

// The integer query parameter `name`, `fallback` when absent; a Refusal (400 VALIDATION_ERROR)
// when it is no integer.
std::int64_t integerParameter(std::string_view query, std::string_view name, std::int64_t fallback);

JSONValue jsonValue(const JSON& json);

template <class Records, class Predicate>
void eraseIf(Records& records, Predicate predicate) {
  records.erase(std::remove_if(records.begin(), records.end(), predicate), records.end());
}

}  // namespace kestro::devserver
