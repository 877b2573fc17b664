#include "server/service_options.hpp"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <stdexcept>

namespace vesk {
namespace {

// strtoul accepts leading blanks and a sign (a minus wraps); only the whole-text,
// at-least-one-digit, no-overflow results count.
std::optional<unsigned long> parse_unsigned(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(begin, &end, 10);
    if (end == begin || errno == ERANGE || end != begin + text.size()) return std::nullopt;
    return value;
}

std::filesystem::path non_empty_path(const std::string& value, const char* message) {
    if (value.empty()) throw std::invalid_argument(message);
    return std::filesystem::path(value);
}

}  // namespace

std::uint16_t parse_port(const std::string& text) {
    const std::optional<unsigned long> value = parse_unsigned(text);
    if (!value || *value > 65535) throw std::invalid_argument("port must be an integer from 0 through 65535");
    return static_cast<std::uint16_t>(*value);
}

std::uint64_t parse_worker_count(const std::string& text) {
    const std::optional<unsigned long> value = parse_unsigned(text);
    if (!value || *value < 1 || *value > 32) {
        throw std::invalid_argument("worker count must be an integer from 1 to 32");
    }
    return *value;
}

ServiceOptions parse_options(int argc, const char* const* argv) {
    ServiceOptions options;
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--help") {
            options.show_help = true;
            return options;
        }
        if (i + 1 >= argc) throw std::invalid_argument("option '" + option + "' requires a value");
        const std::string value = argv[i + 1];
        if (option == "--port") {
            options.port = parse_port(value);
        } else if (option == "--jobs-dir") {
            options.jobs_directory = non_empty_path(value, "jobs directory must not be empty");
        } else if (option == "--web-dir") {
            options.web_directory = non_empty_path(value, "web directory must not be empty");
        } else if (option == "--workers") {
            options.worker_count = parse_worker_count(value);
        } else if (option == "--reader-provider") {
            options.reader.kind = parse_reader_provider_kind(value);
        } else if (option == "--reader-source") {
            options.reader.source = non_empty_path(value, "reader source must not be empty");
        } else if (option == "--reader-source-root") {
            options.reader.source_root = non_empty_path(value, "reader source root must not be empty");
        } else {
            throw std::invalid_argument("unknown option '" + option + "'");
        }
    }
    return options;
}

void print_usage(std::ostream& stream) {
    stream << "Usage: vesk-service [--port <0-65535>] [--jobs-dir <directory>] [--web-dir <directory>] "
              "[--workers <1-32>] [--reader-provider <disabled|mock|file|embedded>] [--reader-source <path>] "
              "[--reader-source-root <directory>]\n";
}

}  // namespace vesk
