// The HTTP server alone over real loopback sockets, with a bound small enough to reach.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "service/http_server.hpp"
#include "support/http_client.hpp"

namespace {

using namespace std::chrono_literals;

bool closed_by_server(int fd) {
    pollfd p{fd, POLLIN, 0};
    char byte;
    return ::poll(&p, 1, 2000) == 1 && ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

bool still_open(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

// At the bound a new connection is served, and room is made by closing, oldest first, one
// without its headers, else one still sending its body.
TEST(HttpServer, AtTheBoundTheOldestUnfinishedMakesRoom) {
    vesk::platform::Socket listener = vesk::platform::create_tcp_socket();
    vesk::platform::bind_loopback(listener, 0);
    vesk::platform::start_listening(listener);
    const std::uint16_t port = vesk::platform::local_port(listener);
    vesk::HttpServerLimits limits;
    limits.max_connections = 4;
    vesk::HttpServer server(
        std::move(listener), limits, {1, 1}, [](const vesk::HttpRequest&) { return vesk::HttpDispatch(); },
        [](const vesk::HttpRequest& request) {
            return vesk::make_json_response(200, "OK", nlohmann::ordered_json(request.target));
        });
    const auto open_with = [&](const std::string& bytes) {
        const int fd = vesk::test::connect_to_loopback(port);
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(20ms);  // accepted in this order
        return fd;
    };
    std::vector<int> bodies;
    for (int i = 0; i < 4; ++i) bodies.push_back(open_with("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nx"));
    EXPECT_EQ(vesk::test::http_get(port, "/first").body, "\"/first\"\n");
    EXPECT_TRUE(closed_by_server(bodies[0]));
    EXPECT_TRUE(still_open(bodies[1]));
    std::this_thread::sleep_for(20ms);  // the answered connection is closed and uncounted

    const int headless = open_with("GET / HTTP/1.1\r\nX-Slow: a");
    EXPECT_EQ(vesk::test::http_get(port, "/second").body, "\"/second\"\n");
    EXPECT_TRUE(closed_by_server(headless));
    for (std::size_t i = 1; i < bodies.size(); ++i) EXPECT_TRUE(still_open(bodies[i])) << i;
    for (int fd : bodies) ::close(fd);
    ::close(headless);
}

}  // namespace
