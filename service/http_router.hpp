// The URL space of the service: every parsed request becomes exactly one response.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "service/http_request.hpp"
#include "service/http_response.hpp"
#include "service/local_service.hpp"

namespace vesk {

// Routes in a fixed order, the first match answering; anything unmatched is 404
// "not_found". Exceptions a route does not answer itself reach the connection handler.
HttpResponse route_request(LocalService::Impl& service, const HttpRequest& request);

// GET of "/", "/index.html", "/styles.css" or "/app.js": the file from the web directory,
// read on every request.
HttpResponse handle_web_file(const LocalService::Impl& service, const std::string& target);

// "vesk-local-health-v1": status, loopback host, bound port and the reader provider.
nlohmann::ordered_json health_document(const LocalService::Impl& service);

}  // namespace vesk
