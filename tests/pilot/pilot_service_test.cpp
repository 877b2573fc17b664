// Pilot records, state documents, recovery at start and the worker.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "intake/sha256.hpp"
#include "pilot/pilot_fixtures.hpp"
#include "pilot/pilot_service.hpp"
#include "platform/files.hpp"
#include "support/expect_error.hpp"
#include "support/run_process.hpp"

namespace {
namespace fs = std::filesystem;
using namespace vesk;
using vesk::test::make_job_on_disk;
using vesk::test::TempDir;

std::vector<std::string> keys_of(const OrderedJson& json) {
    std::vector<std::string> keys;
    for (const auto& item : json.items()) keys.push_back(item.key());
    return keys;
}

SortedJson read_state(const fs::path& job_directory) {
    return parse_strict_json(read_pilot_file(job_directory / kPilotStateFile));
}

PilotSubmission png_submission(const std::string& drawing_id = "plate-1") {
    return PilotSubmission{drawing_id, "drawing.png", "image/png", test::kPngBytes, 300.0};
}

PilotSteps fake_steps() {
    return PilotSteps{test::fake_analysis, test::fake_model};
}

std::string start_error(const fs::path& root) {
    return test::error_message<std::exception>([&] { PilotService service(root, nullptr, {}); });
}

TEST(PilotRecords, StatusTextsAndErrorCodes) {
    const std::vector<std::string> texts = {"pending_analysis", "analyzing", "awaiting_review", "queued_model",
                                            "modeling",         "completed", "rejected"};
    for (std::uint32_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(to_string(static_cast<PilotStatus>(i)), texts[i]);
        EXPECT_EQ(parse_pilot_status(texts[i]), static_cast<PilotStatus>(i));
    }
    EXPECT_THROW(to_string(static_cast<PilotStatus>(7)), std::logic_error);
    EXPECT_THROW(parse_pilot_status("Completed"), std::runtime_error);

    const std::vector<std::pair<std::string, std::string>> classify = {
        {"Z23-Edur reader did not produce a reviewable candidate set", "reading_not_bindable"},
        {"no reading bound", "reading_not_bindable"},
        {"binding failed", "reading_not_bindable"},
        {"Z23-Edur pilot currently requires a single-page PDF", "source_not_supported"},
        {"Persisted Z23-Edur source identity changed", "source_not_supported"},
        {"Z23-Edur raster fallback requires the embedded local reader", "pilot_processing_failed"},
    };
    for (const auto& [message, code] : classify) EXPECT_EQ(classify_pilot_error(message), code) << message;

    EXPECT_EQ(pilot_job_id(1), "pilot-00000001");
    EXPECT_THROW(pilot_job_id(100'000'000), std::out_of_range);
    for (const char* name : {"pilot-00000000", "pilot-1234567", "pilot-0000001x", "pilot-000000010", "Pilot-00000001"}) {
        EXPECT_FALSE(parse_pilot_job_directory_name(name)) << name;
    }
}

TEST(PilotRecords, StateDocumentKeysAndWriteOnceRecords) {
    TempDir dir;
    const PilotRecord completed = make_job_on_disk(dir.path(), 1, PilotStatus::completed);
    const OrderedJson state = pilot_state_to_json(completed);
    EXPECT_EQ(keys_of(state), pilot_state_keys());
    EXPECT_EQ(pilot_state_keys().size(), 18u);
    EXPECT_EQ(keys_of(state["artifact_sha256"]),
              (std::vector<std::string>{"candidates", "review", "reviewed_graph", "step", "front_svg", "top_svg",
                                        "side_svg", "report_json", "traffic_json", "evidence_bundle"}));
    EXPECT_EQ(keys_of(state["files"]), (std::vector<std::string>{"step", "front_svg", "top_svg", "side_svg",
                                                                 "report_json", "traffic_json", "evidence_bundle"}));
    EXPECT_EQ(state["files"]["step"], "reviewed_graph.step");
    EXPECT_TRUE(state["error"].is_null());
    const PilotRecord awaiting = make_job_on_disk(dir.path(), 2, PilotStatus::awaiting_review);
    EXPECT_EQ(keys_of(pilot_state_to_json(awaiting)["artifact_sha256"]), std::vector<std::string>{"candidates"});
    const PilotRecord rejected = make_job_on_disk(dir.path(), 3, PilotStatus::rejected);
    EXPECT_EQ(pilot_state_to_json(rejected)["error"].dump(), R"({"code":"pilot_processing_failed","message":"failed"})");

    // No temporary file stays beside a state file.
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    }
    const fs::path record = dir.path() / "review" / "d-1.json";
    write_once_record(record, "first\n");
    try {
        write_once_record(record, "second\n");
        ADD_FAILURE() << "second write-once record accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "Z23-Edur decision identity already exists");
    }
    EXPECT_EQ(read_pilot_file(record), "first\n");
}

TEST(PilotRecords, StatusDocumentAndArtifactTable) {
    TempDir dir;
    PilotService service(dir.path(), nullptr, {});
    const OrderedJson fresh = service.create_job(png_submission());
    EXPECT_EQ(keys_of(fresh),
              (std::vector<std::string>{"schema_version", "job_id", "drawing_id", "status", "route",
                                        "route_reason_codes", "hold", "direct_model_green",
                                        "reader_evidence_tree_sha256", "candidates", "error", "source_url",
                                        "preview_url", "review_url", "files"}));
    EXPECT_EQ(fresh["job_id"], "pilot-00000001");
    EXPECT_EQ(fresh["hold"], true);
    EXPECT_EQ(fresh["direct_model_green"], false);
    for (const char* key : {"route", "candidates", "error", "files", "reader_evidence_tree_sha256"}) {
        EXPECT_TRUE(fresh[key].is_null()) << key;
    }
    EXPECT_EQ(fresh["review_url"], "/api/pilot/jobs/pilot-00000001/review");

    PilotRecord pdf;
    pdf.job_id = "pilot-00000009";
    pdf.source_filename = "sheet.PDF";
    pdf.media_type = "application/pdf";
    set_pilot_paths(pdf, dir.path());
    PilotRecord png = pdf;
    png.media_type = "image/png";
    set_pilot_paths(png, dir.path());
    PilotRecord modeling = png;
    modeling.artifacts = pilot_artifact_paths(png.job_directory);
    modeling.status = PilotStatus::modeling;
    PilotRecord completed = modeling;
    completed.status = PilotStatus::completed;
    struct Row {
        const PilotRecord* record;
        std::string name;
        bool preview_exists;
        std::optional<fs::path> expected;
    };
    const std::vector<Row> rows = {
        {&pdf, "source", false, pdf.source_path},
        {&pdf, "preview.png", false, std::nullopt},
        {&pdf, "preview.png", true, pdf.job_directory / "preview.png"},
        {&png, "preview.png", true, png.source_path},
        {&modeling, "model.step", true, std::nullopt},
        {&completed, "model.step", true, completed.artifacts->step},
        {&completed, "report.json", true, completed.artifacts->report_json},
        {&completed, "traffic.json", true, completed.traffic_path},
        {&completed, "evidence.tar", true, completed.evidence_bundle_path},
        {&completed, "pilot_state.json", true, std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(pilot_artifact_path(*row.record, row.name, row.preview_exists), row.expected) << row.name;
    }
    EXPECT_EQ(service.find_artifact("pilot-00000001", "preview.png"), dir.path() / "pilot-00000001" / "drawing.png");
    EXPECT_FALSE(service.find_artifact("pilot-00000002", "source"));
    EXPECT_FALSE(service.job_status("pilot-00000002"));
}

TEST(PilotRecovery, NumbersNamesAndStatelessDirectories) {
    TempDir dir;
    {
        PilotService service(dir.path(), nullptr, {});
        EXPECT_EQ(service.create_job(png_submission())["job_id"], "pilot-00000001");
    }
    make_job_on_disk(dir.path(), 7, PilotStatus::rejected);
    {
        PilotService service(dir.path(), nullptr, {});
        EXPECT_EQ(service.create_job(png_submission())["job_id"], "pilot-00000008");
    }
    fs::create_directories(dir.path() / "pilot-00000000");
    fs::create_directories(dir.path() / "pilot-1234567");
    fs::create_directories(dir.path() / "pilot-0000012x");
    test::write_file(dir.path() / "pilot-00000011", "a plain file");
    // A crash between the source write and the first persist leaves this one.
    fs::create_directories(dir.path() / "pilot-00000009");
    test::write_file(dir.path() / "pilot-00000009" / "drawing.png", "partial");
    {
        PilotService service(dir.path(), nullptr, {});
        EXPECT_EQ(service.job_status("pilot-00000007").value()["status"], "rejected");
        EXPECT_EQ(service.job_status("pilot-00000007").value()["error"]["code"], "");
        EXPECT_FALSE(service.job_status("pilot-00000009"));
        EXPECT_EQ(service.create_job(png_submission())["job_id"], "pilot-00000010");
    }
    EXPECT_EQ(test::read_file(dir.path() / "pilot-00000009" / "drawing.png"), "partial");
    EXPECT_FALSE(fs::exists(dir.path() / "pilot-00000009" / kPilotStateFile));

    // The last number a directory can hold is refused beyond, without spending anything.
    fs::create_directories(dir.path() / "pilot-99999999");
    PilotService service(dir.path(), nullptr, {});
    EXPECT_THROW(service.create_job(png_submission()), std::runtime_error);
    // A refused submission takes no number either.
    EXPECT_THROW(service.create_job(PilotSubmission{"a b", "d.png", "image/png", test::kPngBytes, 300.0}),
                 std::invalid_argument);
}

TEST(PilotRecovery, StrictChecksStopTheStart) {
    struct Case {
        std::string name;
        PilotStatus status;
        std::function<void(const PilotRecord&)> damage;
        std::string message;  // test::kNoError: the start succeeds
    };
    const auto edit_state = [](auto edit) {
        return [edit](const PilotRecord& record) {
            SortedJson state = read_state(record.job_directory);
            edit(state);
            test::write_file(record.job_directory / kPilotStateFile, state.dump(2) + "\n");
        };
    };
    const std::vector<Case> cases = {
        {"sorted keys", PilotStatus::completed, edit_state([](SortedJson&) {}), test::kNoError},
        {"extra key", PilotStatus::awaiting_review, edit_state([](SortedJson& s) { s["extra"] = 1; }),
         "Persisted Z23-Edur job identity is invalid"},
        {"missing key", PilotStatus::awaiting_review, edit_state([](SortedJson& s) { s.erase("files"); }),
         "Persisted Z23-Edur job identity is invalid"},
        {"other job", PilotStatus::queued_model, edit_state([](SortedJson& s) { s["job_id"] = "pilot-00000002"; }),
         "Persisted Z23-Edur job identity is invalid"},
        {"empty drawing id", PilotStatus::awaiting_review, edit_state([](SortedJson& s) { s["drawing_id"] = ""; }),
         "pilot-00000001: field 'drawing_id' must be a non-empty string"},
        {"step digest type", PilotStatus::completed,
         edit_state([](SortedJson& s) { s["artifact_sha256"]["step"] = 7; }),
         "pilot-00000001: field 'step' must be a non-empty string"},
        {"media type", PilotStatus::queued_model, edit_state([](SortedJson& s) { s["media_type"] = "image/gif"; }),
         "Persisted Z23-Edur job fields are invalid"},
        {"source byte", PilotStatus::completed,
         [](const PilotRecord& r) { test::write_file(r.source_path, test::kPngBytes + "x"); },
         "Persisted Z23-Edur source identity changed"},
        {"reason", PilotStatus::awaiting_review,
         edit_state([](SortedJson& s) { s["route_reason_codes"] = {"bad reason"}; }),
         "Persisted Z23-Edur route reason is invalid"},
        {"no candidates", PilotStatus::awaiting_review,
         edit_state([](SortedJson& s) { s["candidate_file"] = nullptr; }),
         "Persisted Z23-Edur lifecycle evidence is incomplete"},
        {"candidate path", PilotStatus::awaiting_review,
         edit_state([](SortedJson& s) { s["candidate_file"] = "../candidates.json"; }),
         "Persisted Z23-Edur candidate path is invalid"},
        {"step byte", PilotStatus::completed,
         [](const PilotRecord& r) { test::write_file(r.artifacts->step, "changed"); },
         "pilot-00000001: persisted artifact 'step' changed"},
        {"review record", PilotStatus::queued_model,
         [](const PilotRecord& r) { test::write_file(review_record_path(r), "{}"); },
         "pilot-00000001: persisted artifact 'review' changed"},
        {"status", PilotStatus::completed, edit_state([](SortedJson& s) { s["status"] = "done"; }),
         "Persisted Z23-Edur status is invalid"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const PilotRecord record = make_job_on_disk(dir.path(), 1, c.status);
        c.damage(record);
        EXPECT_EQ(start_error(dir.path()), c.message) << c.name;
    }
}

TEST(PilotWorker, RecoveryRequeuesAndStopDrainsTheQueue) {
    TempDir dir;
    PilotRecord analyzing = make_job_on_disk(dir.path(), 1, PilotStatus::analyzing);
    PilotRecord modeling = make_job_on_disk(dir.path(), 2, PilotStatus::modeling);
    std::mutex seen_mutex;
    std::vector<std::string> seen;
    const auto note = [&](const PilotRecord& r) {
        std::lock_guard lock(seen_mutex);
        seen.push_back(r.job_id + " " + to_string(r.status));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    {
        PilotSteps steps{[&](PilotRecord& r) { note(r); test::fake_analysis(r); },
                         [&](PilotRecord& r) { note(r); test::fake_model(r); }};
        PilotService service(dir.path(), nullptr, steps);
        for (int i = 0; i < 3; ++i) service.create_job(png_submission());
    }  // the destructor returns only after every queued job ran
    EXPECT_EQ(seen, (std::vector<std::string>{"pilot-00000001 analyzing", "pilot-00000002 modeling",
                                              "pilot-00000003 analyzing", "pilot-00000004 analyzing",
                                              "pilot-00000005 analyzing"}));
    EXPECT_EQ(read_state(modeling.job_directory)["status"], "completed");
    for (int n = 3; n <= 5; ++n) {
        EXPECT_EQ(read_state(dir.path() / pilot_job_id(n))["status"], "awaiting_review");
    }
    // Everything they persisted recovers strictly.
    EXPECT_EQ(start_error(dir.path()), test::kNoError);
}

// What a crash leaves mid-write, under the names the file layer really gives, beside and
// below an awaiting job: never sealed into its bundle, gone after a restart. A client's
// review record named like an old-style temporary is neither.
TEST(PilotRecovery, TemporariesNeverReachTheBundleAndGoAtStart) {
    TempDir dir;
    PilotRecord record = make_job_on_disk(dir.path(), 1, PilotStatus::awaiting_review);
    std::vector<fs::path> planted;
    for (const fs::path& final_path : {record.job_directory / "model" / "reviewed_graph.step", dir.path() / "x"}) {
        fs::create_directories(final_path.parent_path());
        for (const fs::path& path : {platform::TemporaryFile(final_path).path(), fs::path(final_path) += ".tmp"}) {
            test::write_file(path, "half");  // the TemporaryFile itself is gone: only its name is used
            planted.push_back(path);
        }
    }
    const fs::path client_named = record.job_directory / "review" / ".tmp-7-0-r.json";
    test::fake_review(record, ".tmp-7-0-r");
    test::fake_model(record);
    const std::string manifest = read_pilot_file(record.job_directory / kEvidenceManifestFile);
    for (const fs::path& path : planted) EXPECT_EQ(manifest.find(path.filename().string()), std::string::npos) << path;
    EXPECT_NE(manifest.find("review/.tmp-7-0-r.json"), std::string::npos);

    { PilotService service(dir.path(), nullptr, {}); }
    for (const fs::path& path : planted) EXPECT_FALSE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::exists(client_named));
}

TEST(PilotWorker, FailuresRejectTheJobAndTheWorkerGoesOn) {
    TempDir dir;
    std::atomic<int> calls{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    PilotSteps steps{[&](PilotRecord& r) {
                         ++calls;
                         if (r.drawing_id == "gate") released.wait();  // holds the worker
                         if (r.drawing_id == "throws") {
                             throw std::runtime_error("Z23-Edur reader did not produce a reviewable candidate set");
                         }
                         // A pinned file that is never written: both persists fail.
                         if (r.drawing_id == "unpersistable") {
                             r.candidates = test::two_candidates(r.drawing_id);
                             return;
                         }
                         test::fake_analysis(r);
                     },
                     test::fake_model};
    PilotService service(dir.path(), nullptr, steps);
    service.create_job(png_submission("gate"));
    // With the source gone no step can run: the "analyzing" persist itself fails.
    service.create_job(png_submission("vanishing"));
    fs::remove(dir.path() / "pilot-00000002" / "drawing.png");
    service.create_job(png_submission("throws"));
    service.create_job(png_submission("unpersistable"));
    service.create_job(png_submission("fine"));
    release.set_value();
    for (int i = 0; i < 1000 && service.job_status("pilot-00000005").value()["status"] != "awaiting_review"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const OrderedJson vanished = service.job_status("pilot-00000002").value();
    EXPECT_EQ(vanished["status"], "rejected");
    EXPECT_NE(vanished["error"]["message"].get<std::string>().find("Cannot open SHA-256 input"), std::string::npos);
    const OrderedJson thrown = service.job_status("pilot-00000003").value();
    EXPECT_EQ(thrown["error"]["code"], "reading_not_bindable");
    EXPECT_EQ(read_state(dir.path() / "pilot-00000003")["error"]["code"], "reading_not_bindable");
    const OrderedJson unpersisted = service.job_status("pilot-00000004").value();
    EXPECT_EQ(unpersisted["status"], "rejected");
    EXPECT_NE(unpersisted["error"]["message"].get<std::string>().find("candidates.json"), std::string::npos);
    EXPECT_EQ(read_state(dir.path() / "pilot-00000004")["status"], "analyzing");
    EXPECT_EQ(service.job_status("pilot-00000005").value()["status"], "awaiting_review");
    EXPECT_EQ(calls.load(), 4);
}

}  // namespace

namespace {

TEST(PilotCreation, RefusalTable) {
    TempDir dir;
    PilotService service(dir.path(), nullptr, {});
    const std::string pdf = "%PDF-1.7\n";
    const std::string unsafe_source = "Z23-Edur source identity is unsafe";
    struct Row {
        PilotSubmission submission;
        std::string result;  // "ok" or the refusal
    };
    const std::vector<Row> rows = {
        {{std::string(128, 'D'), "a.png", "image/png", test::kPngBytes, 300.0}, "ok"},
        {{std::string(129, 'd'), "a.png", "image/png", test::kPngBytes, 300.0}, "Z23-Edur drawing_id is unsafe"},
        {{"a/b", "a.png", "image/png", test::kPngBytes, 300.0}, "Z23-Edur drawing_id is unsafe"},
        {{"d", std::string(96, 's') + ".png", "image/png", test::kPngBytes, 72.0}, "ok"},
        {{"d", std::string(97, 's') + ".png", "image/png", test::kPngBytes, 300.0}, unsafe_source},
        {{"d", "dir/a.png", "image/png", test::kPngBytes, 300.0}, unsafe_source},
        {{"d", "Reviewed_Normalized.PNG", "image/png", test::kPngBytes, 300.0}, unsafe_source},
        {{"d", "a.png", "image/png", "", 300.0}, unsafe_source},
        {{"d", "a.PNG", "image/png", test::kPngBytes, 1200.0}, "ok"},
        {{"d", "a.png", "IMAGE/PNG", test::kPngBytes, 300.0}, "Z23-Edur accepts only matching PNG or PDF input"},
        {{"d", "a.pdf", "image/png", test::kPngBytes, 300.0}, "Z23-Edur accepts only matching PNG or PDF input"},
        {{"d", "a.png", "image/png", "\x89PNG", 300.0}, "Z23-Edur PNG signature is invalid"},
        {{"d", "a.pdf", "application/pdf", "%PDF", std::nullopt}, "Z23-Edur PDF signature is invalid"},
        {{"d", "a.png", "image/png", test::kPngBytes, 71.9}, "Z23-Edur raster input requires one declared DPI in [72, 1200]"},
        {{"d", "a.png", "image/png", test::kPngBytes, 1200.1}, "Z23-Edur raster input requires one declared DPI in [72, 1200]"},
        {{"d", "a.png", "image/png", test::kPngBytes, std::nullopt}, "Z23-Edur raster input requires one declared DPI in [72, 1200]"},
        {{"d", "a.pdf", "application/pdf", pdf, std::nullopt}, "ok"},
    };
    int created = 0;
    for (const Row& row : rows) {
        std::string result = "ok";
        try {
            const OrderedJson status = service.create_job(row.submission);
            EXPECT_EQ(status["job_id"], pilot_job_id(++created));
            EXPECT_EQ(status["status"], "pending_analysis");
        } catch (const std::invalid_argument& error) {
            result = error.what();
        }
        EXPECT_EQ(result, row.result) << row.submission.drawing_id << " " << row.submission.source_filename;
    }
}

}  // namespace

namespace {

// Child side of the crash tests: one service in VESK_PILOT_DIR, two creates, each waited
// for until the worker has analysed it. Exit 86 where a fault point ends it.
TEST(PilotChild, Run) {
    const char* dir = std::getenv("VESK_PILOT_DIR");
    if (dir == nullptr) GTEST_SKIP() << "run by the crash tests only";
    PilotService service(dir, nullptr, fake_steps());
    for (int i = 0; i < 2; ++i) {
        try {
            const std::string id = service.create_job(png_submission())["job_id"];
            while (service.job_status(id).value()["status"] != "awaiting_review") {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        } catch (const std::exception& error) {
            std::printf("refused: %s\n", error.what());
        }
    }
}

TEST(PilotCrash, CreateAndPersistFaults) {
    struct Case {
        std::string fault;
        int exit_code;
        std::vector<std::string> jobs;  // after a restart that also drained the queue
        std::string next;
    };
    const std::vector<Case> cases = {
        // A failed first persist removes the new directory; the number stays spent.
        {"replace:pilot_state.json:tmp:throw", 0, {"pilot-00000002 awaiting_review"}, "pilot-00000003"},
        // A crash before the first persist leaves a stateless directory, skipped at start.
        {"replace:pilot_state.json:tmp:exit", 86, {}, "pilot-00000002"},
        // A crash with "analyzing" on disk: analysed again after the restart.
        {"replace:pilot_state.json:renamed#2:exit", 86, {"pilot-00000001 awaiting_review"}, "pilot-00000002"},
        // A crash right after "awaiting_review" was renamed into place.
        {"replace:pilot_state.json:renamed#3:exit", 86, {"pilot-00000001 awaiting_review"}, "pilot-00000002"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        ::setenv("VESK_PILOT_DIR", dir.path().c_str(), 1);
        ::setenv("VESK_FAULT_AT", c.fault.c_str(), 1);
        const auto child = test::run_process("/proc/self/exe", {"--gtest_filter=PilotChild.Run"});
        ::unsetenv("VESK_PILOT_DIR");
        ::unsetenv("VESK_FAULT_AT");
        EXPECT_EQ(child.exit_code, c.exit_code) << c.fault << child.out << child.err;
        {
            PilotService service(dir.path(), nullptr, fake_steps());
            EXPECT_EQ(service.create_job(png_submission("after"))["job_id"], c.next) << c.fault;
        }
        PilotService service(dir.path(), nullptr, {});
        std::vector<std::string> jobs;
        for (int n = 1; n <= 3; ++n) {
            const auto status = service.job_status(pilot_job_id(n));
            if (status && (*status)["drawing_id"] != "after") {
                jobs.push_back(pilot_job_id(n) + " " + (*status)["status"].get<std::string>());
            }
        }
        EXPECT_EQ(jobs, c.jobs) << c.fault;
    }
}

}  // namespace
