// The URL space of the service: every parsed request becomes exactly one response.
#pragma once

#include <string>

#include "model/dimension_graph.hpp"
#include "service/http_request.hpp"
#include "service/http_response.hpp"
#include "service/http_server.hpp"
#include "service/job_lock.hpp"
#include "service/job_record.hpp"
#include "service/job_store.hpp"
#include "service/local_service.hpp"

namespace vesk {

// First refuses, 403, a Host header or a POST's Origin header that names anything but
// this service; then routes in a fixed order, the first match answering; anything
// unmatched is 404 "not_found". Exceptions a route does not answer itself reach the
// connection handler.
HttpResponse route_request(LocalService::Impl& service, const HttpRequest& request);

// For the HTTP server's I/O thread: GET /health is answered there, after the same Host
// check, with a document fixed once the service is bound (port, provider name), so a probe
// never queues behind the handlers; reads of jobs and web files go to the quick handlers.
HttpServer::Triage make_request_triage(const LocalService::Impl& service);

// GET of "/", "/index.html", "/styles.css" or "/app.js": the file from the web directory,
// read on every request.
HttpResponse handle_web_file(const LocalService::Impl& service, const std::string& target);

// "vesk-local-status-v1", from the live record.
OrderedJson status_document(const JobLock& lock, const JobRecord& job);
// The result document of a completed job, from a copy of its record taken under the lock
// (the traffic file is read outside it). std::logic_error when the outputs or the traffic do
// not hold together; the traffic file's read and parse errors pass through.
OrderedJson result_document(const JobRecord& job);

// The job routes hold the job lock only to look a record up and copy what they answer from.
HttpResponse handle_get_status(JobStore& store, const std::string& job_id);
HttpResponse handle_get_result(JobStore& store, const std::string& job_id);
HttpResponse handle_get_job_file(JobStore& store, const std::string& job_id, const std::string& name);

}  // namespace vesk
