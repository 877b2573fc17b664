// The /api/pilot routes: the pilot submission body, and how each pilot route reaches the
// pilot store and is answered. The store locks for itself; no job mutex is held here.
#pragma once

#include <optional>
#include <string>

#include "pilot/pilot_service.hpp"
#include "service/http_request.hpp"
#include "service/http_response.hpp"

namespace vesk {

// Answers the four pilot routes (create, status, review, files); nothing for any other
// request.
std::optional<HttpResponse> route_pilot_request(PilotService& pilot, const HttpRequest& request);

HttpResponse route_pilot_status(PilotService& pilot, const std::string& job_id);
HttpResponse route_pilot_review(PilotService& pilot, const std::string& job_id, const HttpRequest& request);
HttpResponse route_pilot_artifact(PilotService& pilot, const std::string& job_id, const std::string& name);

}  // namespace vesk
