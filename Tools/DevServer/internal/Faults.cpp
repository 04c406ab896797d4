#include "Tools/DevServer/internal/Faults.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <utility>

#include "KestroCore/Foundation/JSONCoding.h"

namespace kestro::devserver {

namespace {

constexpr std::pair<FaultAction, std::string_view> kActions[] = {
    {FaultAction::status, "status"}, {FaultAction::html, "html"},   {FaultAction::reset, "reset"},
    {FaultAction::delay, "delay"},   {FaultAction::stall, "stall"},
};

std::string_view actionName(FaultAction action) {
  for (const auto& [value, name] : kActions) {
    if (value == action) return name;
  }
  return "status";
}

[[noreturn]] void refuse(const std::string& reason) {
  throw std::invalid_argument("fault rule: " + reason);
}

const JSON* member(const JSON& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() || found->is_null() ? nullptr : &*found;
}

std::int64_t integer(const JSON& object, const char* key, std::int64_t fallback,
                     std::int64_t minimum, std::int64_t maximum) {
  const JSON* value = member(object, key);
  if (value == nullptr) return fallback;
  if (!value->is_number_integer()) refuse(std::string("\"") + key + "\" must be an integer");
  const std::int64_t number = value->get<std::int64_t>();
  if (number < minimum || number > maximum) {
    refuse(std::string("\"") + key + "\" must be between " + std::to_string(minimum) + " and " +
           std::to_string(maximum));
  }
  return number;
}

std::string string(const JSON& object, const char* key, std::string fallback) {
  const JSON* value = member(object, key);
  if (value == nullptr) return fallback;
  if (!value->is_string()) refuse(std::string("\"") + key + "\" must be a string");
  return value->get<std::string>();
}

FaultRule ruleFromJSON(const JSON& json) {
  if (!json.is_object()) refuse("expected a JSON object");
  for (const auto& [key, value] : json.items()) {
    static const std::string_view known[] = {"route", "action",  "count",     "status",
                                             "code",  "message", "retryable", "delayMs"};
    if (std::find(std::begin(known), std::end(known), key) == std::end(known)) {
      refuse("unknown key \"" + key + "\"");
    }
  }
  FaultRule rule;
  const std::string route = string(json, "route", "");
  if (route.empty()) refuse("\"route\" is required (\"POST /v1/captures\", \"/v1/items\", \"*\")");
  if (const auto space = route.find(' '); space != std::string::npos) {
    rule.method = route.substr(0, space);
    const auto path = route.find_first_not_of(' ', space);
    if (path == std::string::npos) refuse("\"route\" names a method but no path");
    rule.path = route.substr(path);
  } else {
    rule.path = route;
  }
  if (rule.path != "*" && !rule.path.starts_with("/v1")) {
    refuse("\"route\" must name a /v1 path or \"*\"");
  }
  const std::string action = string(json, "action", "status");
  bool found = false;
  for (const auto& [value, name] : kActions) {
    if (name == action) {
      rule.action = value;
      found = true;
    }
  }
  if (!found) refuse("\"action\" must be status, html, reset, delay or stall");
  rule.count = integer(json, "count", 1, 1, std::numeric_limits<std::int64_t>::max());
  rule.status = static_cast<int>(
      integer(json, "status", rule.action == FaultAction::html ? 502 : 503, 100, 599));
  rule.code = string(json, "code", rule.code);
  rule.message = string(json, "message", rule.message);
  if (const JSON* retryable = member(json, "retryable")) {
    if (!retryable->is_boolean()) refuse("\"retryable\" must be true or false");
    rule.retryable = retryable->get<bool>();
  }
  rule.delay = std::chrono::milliseconds(integer(json, "delayMs", 0, 0, 3'600'000));
  return rule;
}

JSON parse(std::string_view text) {
  try {
    return parseJSON(text);
  } catch (const DecodingError& error) {
    refuse(error.what());
  }
}

}  // namespace

FaultRule FaultRule::fromJSON(std::string_view text) { return ruleFromJSON(parse(text)); }

std::vector<FaultRule> FaultRule::listFromJSON(std::string_view text) {
  const JSON json = parse(text);
  std::vector<FaultRule> rules;
  if (json.is_array()) {
    for (const JSON& element : json) rules.push_back(ruleFromJSON(element));
  } else {
    rules.push_back(ruleFromJSON(json));
  }
  return rules;
}

void FaultBook::add(FaultRule rule) {
  std::lock_guard lock(mutex_);
  rules_.push_back(std::move(rule));
}

void FaultBook::clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

std::optional<FaultRule> FaultBook::take(const std::string& method, const std::string& path,
                                         const std::string& route) {
  std::lock_guard lock(mutex_);
  for (auto rule = rules_.begin(); rule != rules_.end(); ++rule) {
    if (!rule->method.empty() && rule->method != method) continue;
    if (rule->path != "*" && rule->path != route && rule->path != path) continue;
    FaultRule taken = *rule;
    if (--rule->count <= 0) rules_.erase(rule);
    return taken;
  }
  return std::nullopt;
}

std::string FaultBook::listJSON() const {
  std::lock_guard lock(mutex_);
  JSON list = JSON::array();
  for (const FaultRule& rule : rules_) {
    list.push_back(JSON{{"route", rule.method.empty() ? rule.path : rule.method + " " + rule.path},
                        {"action", actionName(rule.action)},
                        {"count", rule.count},
                        {"status", rule.status},
                        {"code", rule.code},
                        {"message", rule.message},
                        {"retryable", rule.retryable},
                        {"delayMs", rule.delay.count()}});
  }
  return serializeJSON(list);
}

}  // namespace kestro::devserver
