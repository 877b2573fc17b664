// vesk-pdf-page: the PDF page helper that vesk-service starts for each page operation, with
// its limits; see intake/pdf_page_process.hpp.
#include <atomic>
#include <cstddef>

#include "intake/pdf_page_process.hpp"

namespace {

std::atomic<bool> allocation_failed{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read in a signal handler");

}  // namespace

// The engine copes with some failed allocations on its own (an image it cannot hold is left
// out): the C allocator's entry points, taken over in this program only, note each failure.
// Sanitizer builds keep their own allocator (and set no address-space limit).
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);

void* malloc(std::size_t size) noexcept {
    void* p = __libc_malloc(size);
    if (p == nullptr && size != 0) allocation_failed.store(true);
    return p;
}

void* calloc(std::size_t count, std::size_t size) noexcept {
    void* p = __libc_calloc(count, size);
    if (p == nullptr && count != 0 && size != 0) allocation_failed.store(true);
    return p;
}

void* realloc(void* pointer, std::size_t size) noexcept {
    void* p = __libc_realloc(pointer, size);
    if (p == nullptr && size != 0) allocation_failed.store(true);
    return p;
}
}
#endif

int main(int argc, char** argv) {
    return vesk::run_pdf_page_helper(argc, argv, [] { return allocation_failed.load(); });
}
