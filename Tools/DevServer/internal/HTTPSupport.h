#pragma once

// What the dev server's HTTP routes share: answering with a Reply, reading a request's headers
// and its JSON body.

#include <optional>
#include <string>

#include <httplib.h>

#include "Tools/DevServer/internal/ServerState.h"

namespace kestro::devserver {

void answer(httplib::Response& response, const Reply& reply);

std::optional<std::string> header(const httplib::Request& request, const char* name);

// httplib would read a body without a length until the connection closes; a request without
// one has no body.
bool hasBody(const httplib::Request& request);

// Whether a request says its body is JSON. A page on another site can post plain text, a form
// or a body without a type to this port without the browser asking first; JSON it cannot.
bool saysJSON(const httplib::Request& request);

// 415 for a body that does not say it is JSON.
Reply notJSON();

// Reads a JSON body whole into `body`; false when it is cut short or too large for one.
bool readBody(const httplib::Request& request, const httplib::ContentReader* reader,
              std::string& body);

// Reads and forgets a body, so that the connection stays usable after an early answer.
void drain(const httplib::Request& request, const httplib::ContentReader* reader);

}  // namespace kestro::devserver
