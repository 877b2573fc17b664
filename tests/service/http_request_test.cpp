// The request reader and the response writer without sockets: bytes come from a
// function that hands out the input in chunks of a chosen size.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "service/http_request.hpp"
#include "service/http_response.hpp"
#include "support/expect_error.hpp"

namespace {

using vesk::HttpRequest;

// Hands out `input` in receives of at most `chunk` bytes, then reports end of stream.
vesk::HttpReceive chunks_of(const std::string& input, std::size_t chunk) {
    auto offset = std::make_shared<std::size_t>(0);
    return [&input, chunk, offset](char* buffer, std::size_t capacity) {
        const std::size_t n = std::min({chunk, capacity, input.size() - *offset});
        std::memcpy(buffer, input.data() + *offset, n);
        *offset += n;
        return n;
    };
}

HttpRequest read(const std::string& input, std::size_t chunk = vesk::kHttpReceiveChunk) {
    return vesk::read_http_request(chunks_of(input, chunk));
}

std::string refusal(const std::string& input, std::size_t chunk = vesk::kHttpReceiveChunk) {
    return vesk::test::error_message<std::invalid_argument>([&] { read(input, chunk); });
}

// A GET whose header block plus "\r\n\r\n" is exactly `total` bytes.
std::string request_with_head_size(std::size_t total, const std::string& tail = "") {
    std::string head = "GET / HTTP/1.1\r\nX-Pad: ";
    head += std::string(total - head.size() - 4, 'a');
    return head + "\r\n\r\n" + tail;
}

TEST(HttpRequest, RefusalsAndAcceptedForms) {
    struct Case {
        std::string input;
        std::string expected;  // refusal message, or vesk::test::kNoError
    };
    const std::vector<Case> cases = {
        {"", "HTTP request ended before its headers"},
        {"GET / HTTP/1.1\r\n", "HTTP request ended before its headers"},
        {"\r\n\r\n", "HTTP request line is missing"},
        {"GET / HTTP/1.0\r\n\r\n", "Only a valid HTTP/1.1 request line is accepted"},
        {"GET /\r\n\r\n", "Only a valid HTTP/1.1 request line is accepted"},
        {"GET / http/1.1\r\n\r\n", "Only a valid HTTP/1.1 request line is accepted"},
        {"GET / HTTP/1.1 extra\r\n\r\n", "HTTP request line contains extra fields"},
        {"GET / HTTP/1.0 extra\r\n\r\n", "Only a valid HTTP/1.1 request line is accepted"},
        {"GET / HTTP/1.1\r\nHost\r\n\r\n", "HTTP header is missing ':'"},
        {"GET / HTTP/1.1\r\n\r\r\n\r\n", "HTTP header is missing ':'"},
        {"GET / HTTP/1.1\r\n : x\r\n\r\n", "HTTP header name is empty or duplicated"},
        {"GET / HTTP/1.1\r\nContent-Type: a\r\ncontent-TYPE: b\r\n\r\n", "HTTP header name is empty or duplicated"},
        {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc", "HTTP request body ended before Content-Length"},
        {"GET\t/  \tHTTP/1.1\r\n\r\n", vesk::test::kNoError},
        {"GET / HTTP/1.1\nHost: a\n\r\n\r\n", "HTTP header is missing ':'"},
        {"GET / HTTP/1.1\nHost: a\r\n\r\n", vesk::test::kNoError},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         "HTTP request bodies must use Content-Length"},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nTRANSFER-encoding: identity\r\n\r\nabc",
         "HTTP request bodies must use Content-Length"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(refusal(c.input), c.expected) << c.input;
        EXPECT_EQ(refusal(c.input, 1), c.expected) << "1-byte receives: " << c.input;
    }
}

TEST(HttpRequest, FieldsTrimmingAndBody) {
    const HttpRequest request =
        read("post /a%20b?x=1 HTTP/1.1\r\n \t X-Name \t: \t some value \v\f\r\nCONTENT-length:  4 \r\n\r\nbodyEXTRA", 3);
    EXPECT_EQ(request.method, "post");
    EXPECT_EQ(request.target, "/a%20b?x=1");
    const std::map<std::string, std::string> headers{{"content-length", "4"}, {"x-name", "some value"}};
    EXPECT_EQ(request.headers, headers);
    EXPECT_EQ(request.body, "body");  // bytes past Content-Length are dropped
    EXPECT_EQ(read("POST / HTTP/1.1\r\n\r\nignored").body, "");
    EXPECT_EQ(vesk::trim_header_value(" \t\n\v\f\rx y\r\n"), "x y");
}

TEST(HttpRequest, HeaderLimitCountsEverythingReceived) {
    const std::string body = "0123456789";
    const std::string cl = "Content-Length: 10\r\n";
    // Header block and terminator end exactly at byte 32768: accepted whatever follows.
    std::string at_limit = request_with_head_size(vesk::kMaxHttpHeaderBytes - cl.size());
    at_limit.insert(16, cl);
    EXPECT_EQ(read(at_limit + body).body, body);
    EXPECT_EQ(read(at_limit + body, 1).body, body);
    // One byte more: refused, although the terminator is in the refused receive.
    std::string over = request_with_head_size(vesk::kMaxHttpHeaderBytes + 1);
    EXPECT_EQ(refusal(over), "HTTP headers exceed 32 KiB");
    EXPECT_EQ(refusal(over, 1), "HTTP headers exceed 32 KiB");
    // With small receives, body bytes that arrived with the terminator count too.
    std::string small = request_with_head_size(vesk::kMaxHttpHeaderBytes - 2);
    EXPECT_EQ(refusal(small + "xyz", 100), "HTTP headers exceed 32 KiB");
    EXPECT_EQ(refusal(small + "xyz", 1), vesk::test::kNoError);
}

TEST(HttpRequest, ContentLengthTable) {
    struct Case {
        std::string value;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"12abc", "Content-Length is invalid or exceeds 32 MiB"},
        {"abc", "Content-Length must be a non-negative integer"},
        {"", "Content-Length must be a non-negative integer"},
        {std::string(30, '9'), "Content-Length must be a non-negative integer"},
        {"-1", "Content-Length is invalid or exceeds 32 MiB"},
        {"33554433", "Content-Length is invalid or exceeds 32 MiB"},
        {"0x10", "Content-Length is invalid or exceeds 32 MiB"},
        {"+3", "Content-Length is invalid or exceeds 32 MiB"},
        {"-0", "Content-Length is invalid or exceeds 32 MiB"},
        {"+", "Content-Length must be a non-negative integer"},
        {"003", vesk::test::kNoError},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(refusal("POST / HTTP/1.1\r\nContent-Length: " + c.value + "\r\n\r\nabc"), c.expected) << c.value;
    }
    const std::string big(vesk::kMaxHttpBodyBytes, 'z');
    const HttpRequest request = read("POST / HTTP/1.1\r\nContent-Length: 33554432\r\n\r\n" + big);
    EXPECT_EQ(request.body.size(), vesk::kMaxHttpBodyBytes);
}

TEST(HttpRequest, JsonBodiesGoThroughTheStrictParser) {
    const std::string prefix = "Job body is not valid JSON: ";
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::vector<std::string> refused = {deep, "{\"a\":1,\"a\":2}", "{", "[1] 2", "\xff"};
    for (const std::string& body : refused) {
        try {
            vesk::parse_json_body(body, prefix);
            ADD_FAILURE() << body.substr(0, 20);
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()).rfind(prefix, 0), 0u);
            // The error document of such a message never throws, raw bytes or not.
            const vesk::HttpResponse response = vesk::make_error_response(400, "Bad Request", "x", error.what());
            EXPECT_EQ(response.body.back(), '\n');
        }
    }
    EXPECT_EQ(vesk::parse_json_body("{\"b\":1,\"a\":[true]}", prefix).dump(), "{\"a\":[true],\"b\":1}");
    vesk::HttpRequest request;
    EXPECT_FALSE(vesk::has_json_content_type(request));
    const std::vector<std::pair<std::string, bool>> types = {
        {"Application/JSON; charset=UTF-8", true},
        {"application/json", true},
        {"application/json ;charset=utf-8", true},
        {"application/jsonx", false},
        {"application/json-seq", false},
        {"application/json5; charset=utf-8", false},
        {"text/plain", false},
        {"", false},
    };
    for (const auto& [type, json] : types) {
        request.headers["content-type"] = type;
        EXPECT_EQ(vesk::has_json_content_type(request), json) << type;
    }
}

TEST(HttpResponse, HeadAndJsonForms) {
    const vesk::HttpResponse error = vesk::make_error_response(404, "Not Found", "not_found", "Local API route not found");
    EXPECT_EQ(error.body,
              "{\n  \"schema_version\": \"vesk-local-error-v1\",\n  \"error\": {\n    \"code\": \"not_found\",\n"
              "    \"message\": \"Local API route not found\"\n  }\n}\n");
    EXPECT_EQ(vesk::http_response_head(error),
              "HTTP/1.1 404 Not Found\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
                  std::to_string(error.body.size()) +
                  "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n"
                  "Content-Security-Policy: default-src 'self'; img-src 'self' blob: data:; style-src 'self'; "
                  "script-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'\r\n"
                  "Connection: close\r\n\r\n");
    // Invalid UTF-8 is replaced: answering never fails on a message's bytes.
    const std::string raw = "bad \xc3\x28 byte";
    EXPECT_NE(vesk::make_error_response(400, "Bad Request", "x", raw).body.find("bad \xef\xbf\xbd( byte"),
              std::string::npos);
    EXPECT_EQ(vesk::make_json_response(200, "OK", nlohmann::ordered_json(raw)).body, "\"bad \xef\xbf\xbd( byte\"\n");
    EXPECT_EQ(vesk::make_json_response(200, "OK", nlohmann::ordered_json("\xc3\xa9")).body, "\"\xc3\xa9\"\n");
}

// What reading one input came to: the request's fields, or "refused: " and the message.
// Any other exception leaves the test body and fails it.
std::string outcome(const std::function<HttpRequest()>& read_input) {
    try {
        const HttpRequest request = read_input();
        std::string fields = request.method + '\n' + request.target + '\n';
        for (const auto& [name, value] : request.headers) fields += name + ':' + value + '\n';
        return fields + '\n' + request.body;
    } catch (const std::invalid_argument& error) {
        return std::string("refused: ") + error.what();
    }
}

// The whole input in one feed, then the end of the stream.
HttpRequest read_whole(const std::string& input) {
    vesk::HttpRequestReader reader;
    if (!reader.feed(input)) reader.feed({});
    return reader.take_request();
}

// Seeded mutations of real requests, each read whole and again in random receives: it is
// read or refused with one of the reader's own messages, the same either way.
TEST(HttpRequest, FuzzedInputsReadAlikeHoweverSplit) {
    const std::set<std::string> messages = {"HTTP request ended before its headers",
                                            "HTTP headers exceed 32 KiB",
                                            "HTTP request line is missing",
                                            "Only a valid HTTP/1.1 request line is accepted",
                                            "HTTP request line contains extra fields",
                                            "HTTP header is missing ':'",
                                            "HTTP header name is empty or duplicated",
                                            "Content-Length must be a non-negative integer",
                                            "Content-Length is invalid or exceeds 32 MiB",
                                            "HTTP request body ended before Content-Length",
                                            "HTTP request bodies must use Content-Length"};
    const std::string job = R"({"schema_version":"vesk-local-job-v1","drawing_id":"plate","graph":{}})";
    const std::vector<std::string> seeds = {
        "GET /health HTTP/1.1\r\nHost: 127.0.0.1:8765\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n\r\n",
        "POST /api/jobs HTTP/1.1\r\nHost: 127.0.0.1:8765\r\nOrigin: http://127.0.0.1:8765\r\n"
        "Content-Type: application/json\r\nContent-Length: " +
            std::to_string(job.size()) + "\r\n\r\n" + job,
        "GET /api/jobs/job-00000001/files/model.step HTTP/1.1\r\nHost: localhost:8765\r\nConnection: keep-alive\r\n"
        "Accept-Language: en-GB,en;q=0.9\r\nSec-Fetch-Mode: cors\r\n\r\n",
        "POST /api/pilot/jobs/pilot-00000001/review HTTP/1.1\r\nHost: 127.0.0.1:8765\r\n"
        "Content-Type: application/json; charset=utf-8\r\nContent-Length: 2\r\n\r\n{}",
        "PUT /x HTTP/1.1\r\ncontent-length: 0\r\n\r\n",
    };
    const std::vector<std::string> tokens = {"\r\n", "\r\n\r\n", ":", " ", "\t", "HTTP/1.1", "Content-Length: ",
                                             "Transfer-Encoding: chunked\r\n", "99999999999999999999999", "-",
                                             "0", "\n", "\r", std::string(1, '\0')};
    std::mt19937 random(20261209);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    std::size_t accepted = 0;
    std::set<std::string> refusals;
    constexpr int kInputs = 100000;
    for (int i = 0; i < kInputs; ++i) {
        std::string input;
        if (i % 10 == 0) {
            const std::size_t length = pick(200);
            for (std::size_t k = 0; k < length; ++k) input.push_back(static_cast<char>(pick(256)));
        } else {
            input = seeds[pick(seeds.size())];
            const std::size_t edits = 1 + pick(4);
            for (std::size_t e = 0; e < edits; ++e) {
                const std::size_t at = pick(input.size() + 1);
                switch (pick(4)) {
                case 0:
                    if (at < input.size()) input[at] = static_cast<char>(pick(256));
                    break;
                case 1:
                    input.insert(at, tokens[pick(tokens.size())]);
                    break;
                case 2:
                    input.erase(at, pick(8));
                    break;
                default:
                    input.insert(at, input.substr(pick(input.size()), pick(16)));
                    break;
                }
            }
        }
        // Pieces of 1 to 4 bytes, of up to 64, or of up to a full receive; fed to the reader
        // directly, or through read_http_request, which never passes what the reader asks for.
        const std::size_t largest = std::array<std::size_t, 3>{4, 64, vesk::kHttpReceiveChunk}[pick(3)];
        std::size_t offset = 0;
        const auto next_piece = [&](std::size_t capacity) {
            const std::size_t n = std::min({1 + pick(largest), capacity, input.size() - offset});
            offset += n;
            return std::string_view(input).substr(offset - n, n);
        };
        const auto read_split = [&]() -> HttpRequest {
            if (i % 2 == 0) {
                return vesk::read_http_request([&](char* buffer, std::size_t capacity) {
                    const std::string_view piece = next_piece(capacity);
                    std::memcpy(buffer, piece.data(), piece.size());
                    return piece.size();
                });
            }
            vesk::HttpRequestReader reader;
            while (!reader.feed(next_piece(input.size()))) {
            }
            return reader.take_request();
        };
        const std::string whole = outcome([&] { return read_whole(input); });
        ASSERT_EQ(outcome(read_split), whole) << testing::PrintToString(input);
        if (whole.rfind("refused: ", 0) == 0) {
            ASSERT_TRUE(messages.count(whole.substr(9))) << whole;
            refusals.insert(whole);
            continue;
        }
        ++accepted;
        const HttpRequest request = read_whole(input);
        ASSERT_FALSE(request.method.empty());
        for (const auto& [name, value] : request.headers) {
            ASSERT_FALSE(name.empty());
            ASSERT_EQ(vesk::trim_header_value(value), value);
        }
        ASSERT_EQ(request.body.size(), vesk::parse_content_length(request.headers).value_or(0));
    }
    // The mutations reach every refusal but the size limit, and many inputs still read.
    EXPECT_EQ(refusals.size(), messages.size() - 1);
    EXPECT_GT(accepted, static_cast<std::size_t>(kInputs / 20));
}

}  // namespace
