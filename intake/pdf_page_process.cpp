#include "intake/pdf_page_process.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstring>
#include <new>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "intake/pdf_engine.hpp"
#include "model/ascii_text.hpp"
#include "platform/process.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// ASan and TSan reserve terabytes of address space for their shadow memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kAddressSpaceLimited = false;
#else
constexpr bool kAddressSpaceLimited = true;
#endif

// Exit codes of the helper besides 0 (a result or a refusal was written).
constexpr int kExitUsage = 2;
constexpr int kExitOutOfMemory = 3;
constexpr int kExitOrphan = 4;  // the parent that started it is gone
constexpr int kExitLimits = 5;  // a limit could not be set

// The stream: one tag, then the result or the refusal.
constexpr char kTagResult = 'R';
constexpr char kTagRefusal = 'E';
enum class Refusal : std::uint8_t { invalid_argument = 1, out_of_range, logic_error, runtime_error };

// Summaries and segments cross as their bytes: both ends are the same build.
static_assert(std::is_trivially_copyable_v<PdfPageSummary>);
static_assert(std::is_trivially_copyable_v<PdfPathSegment>);
static_assert(std::is_trivially_copyable_v<SourceBox>);

// Longest refusal message and text item read back; longer ones are the helper's fault.
constexpr std::uint32_t kMaxMessageBytes = 1 << 20;
constexpr std::uint32_t kMaxTextBytes = 64 << 20;

template <typename Number>
bool parse_number(const char* text, Number& value) {
    const char* end = text + std::strlen(text);
    const auto [rest, error] = std::from_chars(text, end, value);
    return error == std::errc() && rest == end;
}

// ---- helper side ----

// Buffered writes to the result descriptor; a failed write ends the helper (the parent
// then finds the result incomplete).
class ResultWriter {
public:
    explicit ResultWriter(int fd) : fd_(fd) {}
    ~ResultWriter() { flush(); }

    void bytes(const void* data, std::size_t size) {
        const char* p = static_cast<const char*>(data);
        if (size >= sizeof buffer_) {
            flush();
            write_all(p, size);
            return;
        }
        if (used_ + size > sizeof buffer_) flush();
        std::memcpy(buffer_ + used_, p, size);
        used_ += size;
    }
    template <typename T>
    void value(const T& v) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes(&v, sizeof v);
    }
    void text(const std::string& s) {
        value(static_cast<std::uint32_t>(s.size()));
        bytes(s.data(), s.size());
    }
    void flush() {
        write_all(buffer_, used_);
        used_ = 0;
    }

private:
    void write_all(const char* p, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(fd_, p, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ::_exit(kExitUsage);
            p += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    int fd_;
    char buffer_[1 << 16];
    std::size_t used_ = 0;
};

void write_inspection(ResultWriter& out, const PdfInspection& inspection) {
    out.value(inspection.page_count);
    out.value(static_cast<std::uint8_t>(inspection.any_page_has_vector_content));
    out.value(static_cast<std::uint64_t>(inspection.pages.size()));
    for (const PdfPageSummary& page : inspection.pages) out.value(page);
}

void write_vectors(ResultWriter& out, const PdfPageVectors& vectors) {
    out.value(vectors.page);
    out.value(vectors.width_px);
    out.value(vectors.height_px);
    out.value(static_cast<std::uint64_t>(vectors.texts.size()));
    for (const PdfTextItem& item : vectors.texts) {
        out.text(item.text);
        out.value(item.bbox);
    }
    out.value(static_cast<std::uint64_t>(vectors.segments.size()));
    out.bytes(vectors.segments.data(), vectors.segments.size() * sizeof(PdfPathSegment));
}

void write_raster(ResultWriter& out, const PdfRasterResult& raster) {
    out.value(raster.page);
    out.value(raster.width_px);
    out.value(raster.height_px);
}

bool (*allocation_failed)() = nullptr;

// The engine aborts where an allocation it cannot do without fails.
void on_abort(int) {
    if (allocation_failed()) ::_exit(kExitOutOfMemory);
    // Anything else: the default action once the handler returns.
}

bool set_limit(int resource, rlim_t soft, rlim_t hard) {
    const rlimit limit{soft, hard};
    return ::setrlimit(resource, &limit) == 0;
}

int run_operation(const std::string& operation, const fs::path& pdf, int argc, char** argv, ResultWriter& out) {
    try {
        if (operation == "inspect" && argc == 1) {
            std::int32_t max_pages = 0;
            if (!parse_number(argv[0], max_pages)) return kExitUsage;
            const PdfInspection inspection = inspect_pdf_pages(pdf, max_pages);
            out.value(kTagResult);
            write_inspection(out, inspection);
        } else if (operation == "extract" && argc == 2) {
            std::int32_t page = 0;
            double dpi = 0.0;
            if (!parse_number(argv[0], page) || !parse_number(argv[1], dpi)) return kExitUsage;
            const PdfPageVectors vectors = extract_pdf_page_vectors(pdf, page, dpi);
            out.value(kTagResult);
            write_vectors(out, vectors);
        } else if (operation == "render" && argc == 3) {
            std::uint32_t page = 0;
            double dpi = 0.0;
            if (!parse_number(argv[0], page) || !parse_number(argv[1], dpi)) return kExitUsage;
            const PdfRasterResult raster = render_pdf_page(pdf, page, dpi, argv[2]);
            out.value(kTagResult);
            write_raster(out, raster);
        } else {
            return kExitUsage;
        }
    } catch (const std::bad_alloc&) {
        return kExitOutOfMemory;
    } catch (const std::exception& error) {
        Refusal kind = Refusal::runtime_error;
        if (dynamic_cast<const std::out_of_range*>(&error) != nullptr) {
            kind = Refusal::out_of_range;
        } else if (dynamic_cast<const std::invalid_argument*>(&error) != nullptr) {
            kind = Refusal::invalid_argument;
        } else if (dynamic_cast<const std::logic_error*>(&error) != nullptr) {
            kind = Refusal::logic_error;
        }
        out.value(kTagRefusal);
        out.value(kind);
        out.text(error.what());
    }
    // An allocation the engine did without (it drops an image, say) still refuses the page.
    if (allocation_failed()) return kExitOutOfMemory;
    out.flush();
    return 0;
}

// ---- parent side ----

[[noreturn]] void throw_refusal(Refusal kind, const std::string& message) {
    switch (kind) {
    case Refusal::invalid_argument:
        throw std::invalid_argument(message);
    case Refusal::out_of_range:
        throw std::out_of_range(message);
    case Refusal::logic_error:
        throw std::logic_error(message);
    case Refusal::runtime_error:
        break;
    }
    throw std::runtime_error(message);
}

}  // namespace

// The helper's standard output as it arrives, until the page's deadline or a stop.
class PdfPageProcess::Output {
public:
    enum class End { none, closed, deadline, stop };

    Output(int fd, int wake_fd, Clock::time_point deadline) : fd_(fd), wake_fd_(wake_fd), deadline_(deadline) {}

    // False when the stream ends first (end() says how).
    bool read(void* data, std::size_t size) {
        char* p = static_cast<char*>(data);
        while (size > 0) {
            if (next_ == filled_) {
                // Large reads go straight to their destination.
                if (size >= sizeof buffer_) {
                    const std::size_t n = fill(p, size);
                    if (n == 0) return false;
                    p += n;
                    size -= n;
                    continue;
                }
                next_ = 0;
                filled_ = fill(buffer_, sizeof buffer_);
                if (filled_ == 0) return false;
            }
            const std::size_t n = std::min(size, filled_ - next_);
            std::memcpy(p, buffer_ + next_, n);
            next_ += n;
            p += n;
            size -= n;
        }
        return true;
    }
    template <typename T>
    bool value(T& v) {
        return read(&v, sizeof v);
    }
    bool text(std::string& s, std::uint32_t max_bytes) {
        std::uint32_t size = 0;
        if (!value(size) || size > max_bytes) return false;
        s.resize(size);
        return read(s.data(), size);
    }
    End end() const { return end_; }

private:
    std::size_t fill(char* to, std::size_t size) {
        if (end_ != End::none) return 0;
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
            if (left.count() <= 0) {
                end_ = End::deadline;
                return 0;
            }
            pollfd entries[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
            const int rc = ::poll(entries, 2, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
            if (rc < 0 && errno != EINTR) {
                end_ = End::closed;
                return 0;
            }
            if (rc <= 0) continue;
            if (entries[1].revents != 0) {
                end_ = End::stop;
                return 0;
            }
            const ssize_t n = ::read(fd_, to, size);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                end_ = End::closed;
                return 0;
            }
            return static_cast<std::size_t>(n);
        }
    }

    int fd_;
    int wake_fd_;
    Clock::time_point deadline_;
    End end_ = End::none;
    char buffer_[1 << 16];
    std::size_t next_ = 0;
    std::size_t filled_ = 0;
};

namespace {

using Output = PdfPageProcess::Output;

// Each reader returns nullopt when the stream ended before the result was whole.
std::optional<PdfInspection> read_inspection(Output& in) {
    PdfInspection inspection;
    std::uint8_t any = 0;
    std::uint64_t count = 0;
    if (!in.value(inspection.page_count) || !in.value(any) || !in.value(count)) return std::nullopt;
    inspection.any_page_has_vector_content = any != 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        PdfPageSummary summary;
        if (!in.value(summary)) return std::nullopt;
        inspection.pages.push_back(summary);
    }
    return inspection;
}

std::optional<PdfPageVectors> read_vectors(Output& in) {
    PdfPageVectors vectors;
    std::uint64_t texts = 0;
    if (!in.value(vectors.page) || !in.value(vectors.width_px) || !in.value(vectors.height_px) || !in.value(texts)) {
        return std::nullopt;
    }
    for (std::uint64_t i = 0; i < texts; ++i) {
        PdfTextItem item;
        if (!in.text(item.text, kMaxTextBytes) || !in.value(item.bbox)) return std::nullopt;
        vectors.texts.push_back(std::move(item));
    }
    std::uint64_t segments = 0;
    if (!in.value(segments) || segments > pdf_engine::kMaxPageSegments) return std::nullopt;
    // Grown as the bytes arrive: never more than the helper really sent.
    constexpr std::uint64_t kChunk = 1 << 16;
    for (std::uint64_t done = 0; done < segments;) {
        const std::uint64_t n = std::min(kChunk, segments - done);
        vectors.segments.resize(static_cast<std::size_t>(done + n));
        if (!in.read(vectors.segments.data() + done, static_cast<std::size_t>(n) * sizeof(PdfPathSegment))) {
            return std::nullopt;
        }
        done += n;
    }
    return vectors;
}

std::optional<PdfRasterResult> read_raster(Output& in) {
    PdfRasterResult raster;
    if (!in.value(raster.page) || !in.value(raster.width_px) || !in.value(raster.height_px)) {
        return std::nullopt;
    }
    return raster;
}

std::string page_subject(std::int64_t index) { return "PDF page " + std::to_string(index); }

}  // namespace

PdfPageInterrupted::PdfPageInterrupted()
    : std::runtime_error("PDF page work was interrupted: the service is stopping") {}

PdfPageStop::PdfPageStop() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

PdfPageStop::~PdfPageStop() { ::close(fd_); }

void PdfPageStop::request() noexcept {
    requested_.store(true);
    const std::uint64_t one = 1;
    (void)!::write(fd_, &one, sizeof one);
}

PdfPageProcess::PdfPageProcess(PdfPageHelper helper) : helper_(std::move(helper)) {}

template <typename Result>
Result PdfPageProcess::run(const std::string& subject, std::vector<std::string> arguments,
                           std::optional<Result> (*read)(Output& output)) {
    const Clock::time_point start = Clock::now();
    if (helper_.stop && helper_.stop->requested()) throw PdfPageInterrupted();
    const int wake_fd = helper_.stop ? helper_.stop->wake_fd() : -1;
    if (!deadline_) deadline_ = start + kPdfPageWallTime;
    const std::string cpu_refusal = subject + " took more than " + std::to_string(kPdfPageCpuSeconds) + " s of CPU";
    const double cpu_left = kPdfPageCpuSeconds - cpu_seconds_;
    if (!(cpu_left > 0.0)) throw std::invalid_argument(cpu_refusal);
    // Whole seconds: the helper may use up to a second more than what is left, never less.
    const int cpu_cap = static_cast<int>(std::ceil(cpu_left));

    platform::ProcessOptions options;
    options.executable = helper_.program;
    options.arguments = {helper_.program.string(), std::to_string(::getpid()), std::to_string(cpu_cap),
                         std::to_string(kPdfPageAddressSpaceBytes)};
    options.arguments.insert(options.arguments.end(), std::make_move_iterator(arguments.begin()),
                             std::make_move_iterator(arguments.end()));
    options.stdout_pipe = true;
    platform::ChildProcess child(options);

    Output output(child.stdout_pipe(), wake_fd, *deadline_);
    char tag = 0;
    std::optional<Result> result;
    std::optional<std::pair<Refusal, std::string>> refusal;
    if (output.value(tag)) {
        if (tag == kTagResult) {
            result = read(output);
        } else if (tag == kTagRefusal) {
            Refusal kind{};
            std::string message;
            if (output.value(kind) && output.text(message, kMaxMessageBytes)) refusal.emplace(kind, std::move(message));
        }
    }
    const std::string incomplete = subject + " could not be processed: the page helper's result is incomplete";
    std::optional<int> exit_code;
    if (output.end() == Output::End::stop || output.end() == Output::End::deadline) {
        child.kill_and_reap();
    } else if (!result && !refusal && output.end() == Output::End::none) {
        // A stream that does not parse while the helper still writes: it would wait on the pipe.
        child.kill_and_reap();
        throw std::runtime_error(incomplete);
    } else {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - Clock::now());
        exit_code = child.wait_for(std::max(left, std::chrono::milliseconds(0)), wake_fd);
    }
    cpu_seconds_ += child.cpu_seconds();

    if (helper_.stop && helper_.stop->requested() && exit_code != 0) throw PdfPageInterrupted();
    if (!exit_code) {
        throw std::runtime_error(subject + " took more than " + std::to_string(kPdfPageWallTime.count()) +
                                 " s of wall time");
    }
    if (*exit_code == 0 && result) {
        if constexpr (requires { result->elapsed_ms; }) {
            result->elapsed_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        }
        return std::move(*result);
    }
    if (*exit_code == 0 && refusal) throw_refusal(refusal->first, refusal->second);
    if (*exit_code == kExitOutOfMemory) {
        throw std::invalid_argument(subject + " needs more than " + std::to_string(kPdfPageAddressSpaceBytes >> 20) +
                                    " MiB");
    }
    // The soft limit's signal, or the hard limit's kill a second later.
    if (*exit_code == 128 + SIGXCPU || (*exit_code == 128 + SIGKILL && cpu_seconds_ >= kPdfPageCpuSeconds)) {
        throw std::invalid_argument(cpu_refusal);
    }
    if (*exit_code == 0) throw std::runtime_error(incomplete);
    throw std::runtime_error(
        subject + " could not be processed: the page helper ended with " +
        (*exit_code > 128 ? "signal " + std::to_string(*exit_code - 128) : "exit code " + std::to_string(*exit_code)));
}

PdfInspection PdfPageProcess::inspect_pdf_pages(const fs::path& path, std::int32_t max_pages) {
    // With more than one page allowed, the helper may have been on any of them.
    return run<PdfInspection>(max_pages == 1 ? page_subject(0) : "PDF input",
                              {"inspect", path.string(), std::to_string(max_pages)}, read_inspection);
}

PdfPageVectors PdfPageProcess::extract_pdf_page_vectors(const fs::path& path, std::int32_t page_index, double dpi) {
    PdfPageVectors vectors =
        run<PdfPageVectors>(page_subject(page_index),
                            {"extract", path.string(), std::to_string(page_index), number_text(dpi)}, read_vectors);
    vectors.dpi = dpi;
    return vectors;
}

PdfRasterResult PdfPageProcess::render_pdf_page(const fs::path& path, std::uint32_t page_index, double dpi,
                                                const fs::path& output) {
    PdfRasterResult raster = run<PdfRasterResult>(
        page_subject(page_index),
        {"render", path.string(), std::to_string(page_index), number_text(dpi), output.string()}, read_raster);
    raster.dpi = dpi;
    raster.output = output;
    return raster;
}

int run_pdf_page_helper(int argc, char** argv, bool (*any_allocation_failed)()) {
    allocation_failed = any_allocation_failed;
    // <program> <parent pid> <cpu seconds> <address space bytes> <operation> <pdf> <operation arguments>...
    if (argc < 6) return kExitUsage;
    pid_t parent = 0;
    rlim_t cpu = 0;
    rlim_t address_space = 0;
    if (!parse_number(argv[1], parent) || !parse_number(argv[2], cpu) || !parse_number(argv[3], address_space)) {
        return kExitUsage;
    }
    // Limits first: nothing of the file is read before they hold. The helper dies with the
    // thread that started it; a parent already gone is seen by the pid check.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return kExitLimits;
    if (::getppid() != parent) return kExitOrphan;
    if (!set_limit(RLIMIT_CORE, 0, 0) || !set_limit(RLIMIT_CPU, cpu, cpu + 1)) return kExitLimits;
    if (kAddressSpaceLimited && !set_limit(RLIMIT_AS, address_space, address_space)) return kExitLimits;

    // The result goes to the standard output as it was given; whatever the libraries print
    // there goes to the standard error instead.
    const int result_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (result_fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return kExitLimits;
    struct sigaction action {};
    action.sa_handler = on_abort;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGABRT, &action, nullptr);

    ResultWriter out(result_fd);
    return run_operation(argv[4], argv[5], argc - 6, argv + 6, out);
}

}  // namespace vesk
