#include "intake/embedded_reader_provider.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "intake/provider_inputs.hpp"
#include "intake/sha256.hpp"
#include "model/json_util.hpp"
#include "platform/files.hpp"
#include "platform/process.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

constexpr const char* kProviderSchema = "z23-edur-embedded-provider-v1";
constexpr const char* kRequestSchema = "z23-edur-embedded-request-v1";
constexpr const char* kEvidenceSchema = "z23-edur-reader-evidence-v1";
constexpr std::size_t kMaxModuleLength = 128;
constexpr std::uint32_t kDefaultTimeoutSeconds = 10;
constexpr std::uint32_t kMinTimeoutSeconds = 10;
constexpr std::uint32_t kMaxTimeoutSeconds = 3600;
constexpr std::size_t kCalibrationViewCount = 5;
constexpr std::size_t kLogTailBytes = 2048;
// The response and the evidence manifest are read whole; anything larger is not a reading.
constexpr std::size_t kMaxEvidenceJsonBytes = 64u << 20;

const std::set<std::string>& calibration_view_names() {
    static const std::set<std::string> names = {
        "calibration_brightness_low", "calibration_brightness_high", "calibration_sharpness_low",
        "calibration_scale_down_pad", "calibration_morphological_close"};
    return names;
}

// Whole content of a regular file reached through no link; nullopt for anything else or
// a read error.
std::optional<std::string> read_regular_file(const fs::path& path, std::size_t max_bytes) {
    try {
        return platform::read_file(path, max_bytes, platform::Links::refuse);
    } catch (const platform::FileError&) {
        return std::nullopt;
    }
}

// Streamed digest of a regular file reached through no link; nullopt for anything else.
std::optional<std::string> sha256_of_regular_file(const fs::path& path) {
    try {
        return sha256_file(path, platform::Links::refuse);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

SortedJson parse_evidence_json(const std::optional<std::string>& text, const fs::path& path,
                               const std::string& label) {
    try {
        if (!text) throw std::runtime_error("Reader provider cannot read response: " + path.string());
        return parse_strict_json(*text);
    } catch (const std::exception& error) {
        throw std::runtime_error(label + " is invalid JSON: " + error.what());
    }
}

bool is_lower_sha256_hex(std::string_view text) {
    if (!is_sha256_hex(text)) return false;
    for (const char c : text) {
        if (c >= 'A' && c <= 'F') return false;
    }
    return true;
}

bool is_safe_module_name(std::string_view module) {
    if (module.empty() || module.size() > kMaxModuleLength) return false;
    if (module.front() == '.' || module.back() == '.' || module.find("..") != std::string_view::npos) return false;
    for (const char c : module) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::vector<std::string> split_module(const std::string& module) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = module.find('.', start);
        parts.push_back(module.substr(start, dot - start));
        if (dot == std::string::npos) return parts;
        start = dot + 1;
    }
}

// Python's path finder takes, for one name in one directory, a package directory first,
// then a compiled extension ("<name>.so", "<name>.<tag>.so"), then "<name>.py". So
// "-m a.b" runs the pinned a/b.py only when no "b" package or "b" extension sits beside
// it, and each parent package "a" is a real package (its __init__.py wins) or has no
// "a.py" and no "a" extension beside it whose import would run first.
bool module_is_shadowed(const fs::path& source_root, const std::string& module) {
    const std::vector<std::string> parts = split_module(module);
    fs::path directory = source_root;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        const bool last = i + 1 == parts.size();
        const bool package = !last && fs::is_regular_file(directory / part / "__init__.py");
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
            const std::string name = entry.path().filename().string();
            const bool extension = name.size() > part.size() + 3 && name.compare(0, part.size() + 1, part + ".") == 0 &&
                                   name.compare(name.size() - 3, 3, ".so") == 0;
            if (last && (name == part || extension)) return true;
            if (!last && !package && (extension || name == part + ".py")) return true;
        }
        if (error) return true;
        directory /= part;
    }
    return false;
}

std::string generic_text(const fs::path& path) { return path.generic_string(); }

std::string json_path_text(const fs::path& path) { return fs::weakly_canonical(path).generic_string(); }

// Checks the evidence of one read and returns the response's bytes exactly as they were
// hashed, so what is parsed is what was verified.
std::string checked_response(const fs::path& evidence, const fs::path& response_path, const fs::path& input_png,
                             const std::string& drawing_id, const std::string& provider_manifest_sha256,
                             const std::string& runtime_config_sha256) {
    const std::string label = "Embedded reader evidence manifest";
    const fs::path manifest_path = evidence / "evidence_manifest.json";
    const SortedJson manifest =
        parse_evidence_json(read_regular_file(manifest_path, kMaxEvidenceJsonBytes), manifest_path, label);

    const std::string identity_changed = "Embedded reader evidence identity changed";
    const std::string response_sha256 = require_string_field(manifest, label, "response_sha256");
    if (require_string_field(manifest, label, "schema_version") != kEvidenceSchema ||
        require_string_field(manifest, label, "drawing_id") != drawing_id ||
        require_string_field(manifest, label, "input_png_sha256") != sha256_file(input_png) ||
        require_string_field(manifest, label, "provider_manifest_sha256") != provider_manifest_sha256 ||
        require_string_field(manifest, label, "runtime_config_sha256") != runtime_config_sha256 ||
        !is_sha256_hex(response_sha256)) {
        throw std::runtime_error(identity_changed);
    }
    const std::optional<std::string> response_text = read_regular_file(response_path, kMaxEvidenceJsonBytes);
    if (!response_text || sha256_hex(*response_text) != response_sha256) throw std::runtime_error(identity_changed);

    // Copied into the pilot's evidence bundle: a reading without them is refused now,
    // not after an operator has reviewed it.
    if (!is_lower_sha256_hex(require_string_field(manifest, label, "base_model_manifest_sha256"))) {
        throw std::runtime_error("Embedded reader evidence base model identity is invalid");
    }
    require_string_field(manifest, label, "device");

    if (!manifest.contains("candidate_count") || !manifest.at("candidate_count").is_number_unsigned() ||
        !manifest.contains("records") || !manifest.at("records").is_array()) {
        throw std::runtime_error("Embedded reader evidence records are invalid");
    }
    const auto candidate_count = manifest.at("candidate_count").get<std::uint64_t>();
    const SortedJson& records = manifest.at("records");
    if (candidate_count == 0 || records.size() != candidate_count) {
        throw std::runtime_error("Embedded reader evidence candidate count changed");
    }

    const SortedJson response = parse_evidence_json(response_text, response_path, "Embedded reader response");
    if (!response.is_object() || !response.contains("readings") || !response.at("readings").is_array() ||
        response.at("readings").size() != candidate_count) {
        throw std::runtime_error("Embedded reader response candidate count changed");
    }

    std::set<std::string> seen;
    for (const SortedJson& record : records) {
        if (!record.is_object() || !record.contains("views") || !record.at("views").is_array() ||
            record.at("views").size() != kCalibrationViewCount) {
            throw std::runtime_error("Embedded reader evidence calibration set changed");
        }
        verify_evidence_file(evidence, record, "Embedded reader evidence crop", "crop_sha256", "crop", seen);
        std::set<std::string> names;
        for (const SortedJson& view : record.at("views")) {
            const std::string view_label = "Embedded reader evidence calibration view";
            names.insert(require_string_field(view, view_label, "view"));
            verify_evidence_file(evidence, view, view_label, "sha256", "path", seen);
        }
        if (names != calibration_view_names()) {
            throw std::runtime_error("Embedded reader calibration view identity changed");
        }
    }
    return *response_text;
}

// The shared field and path helpers report bad input as invalid-argument errors; here the
// bad input comes from the reader, not from whoever asked for the read, so every evidence
// fault is a runtime error with the same message.
std::string verified_response(const fs::path& evidence, const fs::path& response_path, const fs::path& input_png,
                              const std::string& drawing_id, const std::string& provider_manifest_sha256,
                              const std::string& runtime_config_sha256) {
    try {
        return checked_response(evidence, response_path, input_png, drawing_id, provider_manifest_sha256,
                                runtime_config_sha256);
    } catch (const std::invalid_argument& error) {
        throw std::runtime_error(error.what());
    }
}

ReaderResponse parse_verified_response(const std::string& text, const fs::path& path, const std::string& drawing_id) {
    ReaderResponse response = parse_agent_reader_v2_response(text, path.string());
    if (response.drawing_id != drawing_id) {
        throw std::runtime_error("Reader provider response identity does not match request '" + drawing_id + "'");
    }
    return response;
}

// Replaces every byte that does not belong to a well-formed UTF-8 sequence (overlong
// forms, surrogates and code points above U+10FFFF included) by U+FFFD.
std::string valid_utf8(std::string_view bytes) {
    static constexpr const char* kReplacement = "\xEF\xBF\xBD";
    std::string out;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (b < 0x80) length = 1;
        else if (b >= 0xC2 && b <= 0xDF) length = 2;
        else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) high = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) high = 0x8F;
        }
        bool ok = length > 0 && i + length <= bytes.size();
        for (std::size_t k = 1; ok && k < length; ++k) {
            const auto c = static_cast<unsigned char>(bytes[i + k]);
            ok = k == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
        }
        if (ok) {
            out.append(bytes.substr(i, length));
            i += length;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

}  // namespace

EmbeddedReaderProvider::EmbeddedReaderProvider(const fs::path& source, const fs::path& source_root)
    : source_(fs::weakly_canonical(source)), source_root_(fs::weakly_canonical(source_root)) {
    if (!fs::is_directory(source_root_)) {
        throw std::invalid_argument("Embedded reader provider source_root must be an existing directory");
    }
    const std::string label = "Embedded reader manifest";
    const SortedJson manifest = read_json_file(source_, label);
    reject_unknown_fields(manifest,
                          {"schema_version", "python_executable", "bridge_script", "bridge_module", "bridge_sha256",
                           "runtime_config", "runtime_config_sha256", "timeout_seconds"},
                          label);
    if (!manifest.contains("schema_version") || !manifest.at("schema_version").is_string() ||
        manifest.at("schema_version").get<std::string>() != kProviderSchema) {
        throw std::invalid_argument("Embedded reader manifest schema is invalid");
    }

    // Resolved with links followed: an interpreter that is a link out of the installation
    // (a virtual environment's bin/python) is refused here.
    python_executable_ = resolve_under_root(source_root_, require_string_field(manifest, label, "python_executable"),
                                            "Embedded reader python_executable");
    bridge_script_ = resolve_under_root(source_root_, require_string_field(manifest, label, "bridge_script"),
                                        "Embedded reader bridge_script");

    bridge_module_ = require_string_field(manifest, label, "bridge_module");
    if (!is_safe_module_name(bridge_module_)) throw std::invalid_argument("Embedded reader bridge_module is unsafe");
    std::string module_file = bridge_module_;
    for (char& c : module_file) {
        if (c == '.') c = '/';
    }
    const fs::path module_path =
        resolve_under_root(source_root_, module_file + ".py", "Embedded reader bridge_module");
    // Exact: on this file system "Reader/Bridge.py" and "reader/bridge.py" are two files.
    if (generic_text(module_path) != generic_text(bridge_script_)) {
        throw std::invalid_argument("Embedded reader bridge_module does not name bridge_script");
    }
    if (module_is_shadowed(source_root_, bridge_module_)) {
        throw std::invalid_argument("Embedded reader bridge_module would load another file than bridge_script");
    }

    runtime_config_ = resolve_under_root(source_root_, require_string_field(manifest, label, "runtime_config"),
                                         "Embedded reader runtime_config");
    if (!fs::is_regular_file(python_executable_) || !fs::is_regular_file(bridge_script_) ||
        !fs::is_regular_file(runtime_config_)) {
        throw std::invalid_argument("Embedded reader executable, bridge, and runtime config must exist");
    }

    bridge_sha256_ = require_string_field(manifest, label, "bridge_sha256");
    runtime_config_sha256_ = require_string_field(manifest, label, "runtime_config_sha256");
    const std::string identity = "Embedded reader source identity does not match its manifest";
    if (!is_sha256_hex(bridge_sha256_) || sha256_file(bridge_script_) != bridge_sha256_ ||
        !is_sha256_hex(runtime_config_sha256_) || sha256_file(runtime_config_) != runtime_config_sha256_) {
        throw std::invalid_argument(identity);
    }

    timeout_seconds_ = kDefaultTimeoutSeconds;
    if (manifest.contains("timeout_seconds")) {
        const SortedJson& value = manifest.at("timeout_seconds");
        if (!value.is_number_unsigned()) {
            throw std::invalid_argument("Embedded reader timeout_seconds must be an unsigned integer");
        }
        const auto seconds = value.get<std::uint64_t>();
        if (seconds < kMinTimeoutSeconds || seconds > kMaxTimeoutSeconds) {
            throw std::invalid_argument("Embedded reader timeout_seconds must be between 10 and 3600");
        }
        timeout_seconds_ = static_cast<std::uint32_t>(seconds);
    }
}

ReaderResponse EmbeddedReaderProvider::read(const ReaderRequest& request) const {
    const std::string& drawing_id = request.drawing_id;
    if (!is_safe_drawing_id(drawing_id)) {
        throw std::invalid_argument("Embedded reader request drawing_id is unsafe");
    }
    if (!fs::is_regular_file(request.input_png)) {
        throw std::invalid_argument("Embedded reader input must be an existing file");
    }
    if (!fs::is_directory(request.working_directory)) {
        throw std::invalid_argument("Embedded reader working_directory must be an existing directory");
    }
    // Canonical, so two spellings of one job directory give the same request bytes.
    const fs::path evidence = fs::weakly_canonical(request.working_directory / "reader_evidence");
    fs::create_directories(evidence);

    const std::string provider_manifest_sha256 = sha256_file(source_);
    const std::string runtime_config_sha256 = sha256_file(runtime_config_);
    SortedJson document = SortedJson::object();
    document["drawing_id"] = drawing_id;
    document["evidence_directory"] = json_path_text(evidence);
    document["input_png"] = json_path_text(request.input_png);
    document["provider_manifest_sha256"] = provider_manifest_sha256;
    document["runtime_config_sha256"] = runtime_config_sha256;
    document["schema_version"] = kRequestSchema;
    const fs::path request_path = evidence / "request.json";
    // The bridge opens these paths: a replaced byte would name another file, so a path that
    // is not UTF-8 fails here (the library's type error) instead.
    const std::string request_text = document.dump(2, ' ', false, SortedJson::error_handler_t::strict) + "\n";
    write_once_or_verify(request_path, request_text, "Embedded reader request");

    // The installation is pinned: a bridge or configuration changed on disk since start
    // is not run and not replayed.
    if (runtime_config_sha256 != runtime_config_sha256_ || sha256_file(bridge_script_) != bridge_sha256_) {
        throw std::runtime_error("Embedded reader source identity does not match its manifest");
    }

    const fs::path response_path = evidence / "response.json";
    const fs::path manifest_path = evidence / "evidence_manifest.json";
    const auto present = [](const fs::path& path) { return fs::exists(fs::symlink_status(path)); };
    if (!(present(response_path) && present(manifest_path))) {
        platform::ProcessOptions options;
        options.executable = python_executable_;
        options.arguments = {python_executable_.string(), "-m", bridge_module_, "--runtime-config",
                             runtime_config_.string(), "--request", request_path.string(), "--response",
                             response_path.string()};
        options.working_directory = source_root_;
        options.stdout_file = evidence / "bridge.stdout.log";
        options.stderr_file = evidence / "bridge.stderr.log";

        std::optional<platform::ChildProcess> child;
        try {
            child.emplace(options);
        } catch (const platform::ProcessError& error) {
            if (error.operation() == "open") {
                throw std::runtime_error("Embedded reader cannot create process log handles");
            }
            throw std::runtime_error("Embedded reader process creation failed with errno " +
                                     std::to_string(error.error_number()));
        }
        std::optional<int> exit_code;
        try {
            exit_code = child->wait_for(std::chrono::seconds(timeout_seconds_));
        } catch (const platform::ProcessError& error) {
            if (error.operation() == "status") throw std::runtime_error("Embedded reader exit code is unavailable");
            throw std::runtime_error("Embedded reader process wait failed");
        }
        if (!exit_code) throw std::runtime_error("Embedded reader exceeded its configured wall timeout");
        if (*exit_code != 0) {
            throw std::runtime_error("Embedded reader failed with exit code " + std::to_string(*exit_code) + ": " +
                                     read_log_tail(options.stderr_file));
        }
        if (!fs::is_regular_file(fs::symlink_status(response_path))) {
            throw std::runtime_error("Embedded reader exited without a response");
        }
    }
    const std::string text = verified_response(evidence, response_path, request.input_png, drawing_id,
                                               provider_manifest_sha256, runtime_config_sha256);
    return parse_verified_response(text, response_path, drawing_id);
}

void write_once_or_verify(const fs::path& path, std::string_view bytes, const std::string& label) {
    if (fs::exists(fs::symlink_status(path))) {
        const std::optional<std::string> existing = read_regular_file(path, bytes.size());
        if (!existing || *existing != bytes) throw std::runtime_error(label + " identity changed");
        return;
    }
    write_file(path, bytes);
}

void write_file(const fs::path& path, std::string_view bytes) {
    try {
        platform::write_file(path, bytes, platform::Links::refuse);
    } catch (const platform::FileError& error) {
        if (error.operation() == "open") throw std::runtime_error("Reader provider cannot write file: " + path.string());
        throw std::runtime_error("Reader provider failed while writing file: " + path.string());
    }
}

std::string read_log_tail(const fs::path& path) {
    std::optional<platform::ReadableFile> file;
    try {
        file.emplace(path, platform::Links::refuse);
    } catch (const platform::FileError&) {
        return {};
    }
    const std::uint64_t size = file->size_when_opened();
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(size, kLogTailBytes));
    std::string tail(length, '\0');
    std::size_t done = 0;
    try {
        while (done < length) {
            const std::size_t got = file->read_at(size - length + done, tail.data() + done, length - done);
            if (got == 0) break;
            done += got;
        }
    } catch (const platform::FileError&) {
        // What was read so far is the tail we have.
    }
    tail.resize(done);
    // The cut may fall inside a character: drop its continuation bytes (at most three).
    std::size_t start = 0;
    if (static_cast<std::size_t>(size) > kLogTailBytes) {
        while (start < 3 && start < tail.size() && (static_cast<unsigned char>(tail[start]) & 0xC0) == 0x80) ++start;
    }
    return valid_utf8(std::string_view(tail).substr(start));
}

void verify_evidence_manifest(const fs::path& evidence_directory, const fs::path& response_path,
                              const fs::path& input_png, const std::string& drawing_id,
                              const std::string& provider_manifest_sha256, const std::string& runtime_config_sha256) {
    verified_response(evidence_directory, response_path, input_png, drawing_id, provider_manifest_sha256,
                      runtime_config_sha256);
}

void verify_evidence_file(const fs::path& evidence_directory, const SortedJson& entry, const std::string& label,
                          const std::string& digest_key, const std::string& path_key,
                          std::set<std::string>& seen_paths) {
    const std::string text = require_string_field(entry, label, path_key);
    const std::string digest = require_string_field(entry, label, digest_key);
    // Compared exactly after lexical normalisation: "a.png" and "./a.png" are one file,
    // "a.png" and "A.png" are two.
    if (!seen_paths.insert(fs::path(text).lexically_normal().generic_string()).second || !is_sha256_hex(digest)) {
        throw std::runtime_error("Embedded reader evidence file identity is duplicated or invalid");
    }
    const fs::path resolved = resolve_under_root(evidence_directory, text, label);
    // A link anywhere on the way would also make the pilot's tree digest of the evidence
    // impossible later, so none is accepted.
    const fs::path lexical = (fs::weakly_canonical(evidence_directory) / safe_relative_path(text, label));
    const std::optional<std::string> actual = sha256_of_regular_file(lexical);
    if (generic_text(resolved) != generic_text(lexical.lexically_normal()) || !actual || *actual != digest) {
        throw std::runtime_error("Embedded reader evidence file changed");
    }
}

}  // namespace vesk
