// PDF page work in a child process of our own, the vesk-pdf-page helper, bounded in
// processor time, address space and wall time: no page can hold the process that asks for
// it, take its memory or end it. The parent side offers the operations of
// pdf_page_access.hpp under their names and with their results; the helper runs those
// in-process functions, whose own bounds stay the first line, and sends back what they
// return or throw.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "intake/pdf_page_access.hpp"

namespace vesk {

// One page's work in all (every call of one PdfPageProcess): processor time and wall time.
// Legitimate A3 sheets need well under a second of either.
inline constexpr int kPdfPageCpuSeconds = 5;
inline constexpr std::chrono::seconds kPdfPageWallTime{30};
// Address space of each helper: the largest raster a page may have (kMaxRasterPixels)
// renders and encodes in about 560 MiB, libraries included.
inline constexpr std::uint64_t kPdfPageAddressSpaceBytes = std::uint64_t{1} << 30;

// The page work was cut short by the service's stop: no verdict on the file.
class PdfPageInterrupted : public std::runtime_error {
public:
    PdfPageInterrupted();
};

// One per service. request() kills every running helper at once and refuses all later
// page work with PdfPageInterrupted.
class PdfPageStop {
public:
    PdfPageStop();  // std::system_error when no event descriptor can be made
    ~PdfPageStop();
    PdfPageStop(const PdfPageStop&) = delete;
    PdfPageStop& operator=(const PdfPageStop&) = delete;

    void request() noexcept;
    bool requested() const noexcept { return requested_.load(); }
    // Readable from the first request on.
    int wake_fd() const noexcept { return fd_; }

private:
    int fd_ = -1;
    std::atomic<bool> requested_{false};
};

struct PdfPageHelper {
    std::filesystem::path program;  // the vesk-pdf-page executable
    std::shared_ptr<PdfPageStop> stop;
};

// One page's work, each call in a fresh helper. The calls share the page's processor time
// and wall time. Results and ordinary refusals (exception type and message) are those of
// the in-process functions; a helper stopped by a limit refuses the page with
// std::invalid_argument "PDF page <n> took more than 5 s of CPU" or "PDF page <n> needs more
// than 1024 MiB", std::runtime_error "PDF page <n> took more than 30 s of wall time" or
// "PDF page <n> could not be processed: ..." for any other end of the helper. An inspection
// of more than one page names "PDF input" instead. A stop throws PdfPageInterrupted.
class PdfPageProcess {
public:
    explicit PdfPageProcess(PdfPageHelper helper);

    PdfInspection inspect_pdf_pages(const std::filesystem::path& path, std::int32_t max_pages);
    PdfPageVectors extract_pdf_page_vectors(const std::filesystem::path& path, std::int32_t page_index, double dpi);
    PdfRasterResult render_pdf_page(const std::filesystem::path& path, std::uint32_t page_index, double dpi,
                                    const std::filesystem::path& output);

    // The helper's standard output as it arrives (internal).
    class Output;

private:
    template <typename Result>
    Result run(const std::string& subject, std::vector<std::string> arguments,
               std::optional<Result> (*read)(Output& output));

    PdfPageHelper helper_;
    double cpu_seconds_ = 0.0;  // spent by this page's helpers so far
    std::optional<std::chrono::steady_clock::time_point> deadline_;  // from the first call
};

// The helper program: sets its limits, runs one operation, writes the result to its
// standard output. Returns the process's exit code. `any_allocation_failed` tells whether
// an allocation failed (under the address-space limit) at any time so far: such a page is
// refused for its memory, also where the engine went on without what it could not allocate.
int run_pdf_page_helper(int argc, char** argv, bool (*any_allocation_failed)());

}  // namespace vesk
