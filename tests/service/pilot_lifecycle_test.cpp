// The pilot store inside the service's lifecycle: made in "<jobs>/m23-pilot" before the
// listener, its strict recovery stops the service start, and it goes last.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "service/local_service.hpp"
#include "support/http_client.hpp"
#include "support/run_process.hpp"
#include "support/service_process.hpp"

namespace {
namespace fs = std::filesystem;

TEST(PilotLifecycle, StoreIsMadeRecoveredAndItsRoutesStayClosed) {
    vesk::test::TempDir dir("vesk-service");
    vesk::LocalServiceOptions options;
    options.jobs_directory = dir.path() / "jobs";
    options.web_directory = dir.path() / "web";
    options.pdf_page_helper = vesk::test::pdf_page_program();
    options.worker_count = 1;
    {
        vesk::LocalService service(options);
        EXPECT_TRUE(fs::is_directory(options.jobs_directory / "m23-pilot"));
        const std::string url = service.base_url();
        const auto port = static_cast<std::uint16_t>(std::stoul(url.substr(url.rfind(':') + 1)));
        EXPECT_EQ(vesk::test::http_get(port, "/api/pilot/jobs/pilot-00000001").status, 404);
    }
    // One pilot job directory that fails its check stops the whole start.
    const fs::path job = options.jobs_directory / "m23-pilot" / "pilot-00000001";
    fs::create_directories(job);
    vesk::test::write_file(job / "pilot_state.json", "{}\n");
    try {
        vesk::LocalService service(options);
        ADD_FAILURE() << "started over a bad pilot job";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Persisted Z23-Edur job identity is invalid");
    }
    // The failed start released the jobs directory again.
    fs::remove_all(job);
    EXPECT_NO_THROW(vesk::LocalService{options});
}

}  // namespace
