// Source analysis and route choice with real PDFs, the mock provider and the fake bridge,
// then the vector route reviewed, bound and modelled.
#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "intake/image_io.hpp"
#include "intake/sha256.hpp"
#include "pilot/pilot_analysis.hpp"
#include "pilot/pilot_fixtures.hpp"
#include "pilot/pilot_service.hpp"
#include "support/expect_error.hpp"
#include "support/pdf_writer.hpp"
#include "support/reader_installation.hpp"
#include "support/run_process.hpp"

namespace {
namespace fs = std::filesystem;
using namespace vesk;
using vesk::test::TempDir;
namespace gen = vesk::test;

std::string wait_settled(PilotService& service, const std::string& job_id) {
    std::string status;
    for (int i = 0; i < 3000; ++i) {
        status = service.job_status(job_id).value()["status"];
        if (status != "pending_analysis" && status != "analyzing" && status != "queued_model" && status != "modeling") {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
}

class PilotAnalysis : public ::testing::Test {
protected:
    // A mock provider whose fixture for drawing "img" is `readings` readings of 10 mm.
    std::shared_ptr<DrawingReaderProvider> mock(int readings) {
        SortedJson response = {{"drawing_id", "img"}, {"dimension_graph", nullptr}, {"errors", SortedJson::array()}};
        response["readings"] = SortedJson::array();
        for (int i = 0; i < readings; ++i) {
            response["readings"].push_back({{"constraint_id", "c" + std::to_string(i)}, {"value", 10.0},
                                            {"confidence", 0.9}, {"origin", "source_text"},
                                            {"source_bbox", {10 + 40 * i, 10, 30, 10}}});
        }
        test::write_file(dir_.path() / "img.json", response.dump());
        test::write_file(dir_.path() / "mock.json",
                         R"({"schema_version": "vesk-reader-mock-manifest-v1", "cases": [{"drawing_id": "img", "response": "img.json"}]})");
        return make_reader_provider({ReaderProviderKind::mock, dir_.path() / "mock.json", dir_.path()});
    }
    PilotSubmission pdf(const gen::PdfSpec& spec, const std::string& drawing_id = "img") {
        return PilotSubmission{drawing_id, "sheet.pdf", "application/pdf", gen::write_pdf(spec), std::nullopt};
    }
    TempDir dir_;
    fs::path root_ = dir_.path() / "pilot";
};

TEST_F(PilotAnalysis, RouteChoiceTable) {
    gen::PdfSpec two_pages = gen::plate_pdf();
    two_pages.pages.push_back(two_pages.pages.front());
    gen::PdfSpec with_image = gen::plate_pdf();
    with_image.pages[0].inline_image = true;
    gen::PdfSpec no_units = gen::plate_pdf();
    std::erase_if(no_units.pages[0].labels, [](const gen::PdfLabel& l) { return l.text.find("MM") != std::string::npos; });
    struct Row {
        std::string name;
        PilotSubmission submission;
        int mock_readings;  // -1: no provider
        std::string status;
        std::string route_or_error;
        std::vector<std::string> reasons;  // a rejected job keeps none of what its analysis found
    };
    const std::vector<Row> rows = {
        {"two pages", pdf(two_pages), -1, "rejected", "source_not_supported: Z23-Edur pilot currently requires a single-page PDF", {}},
        {"image, no provider", pdf(with_image), -1, "rejected",
         "pilot_processing_failed: Z23-Edur raster fallback requires the embedded local reader", {}},
        {"image, mock", pdf(with_image), 2, "awaiting_review", "raster_scan_eye", {"raster_image_present"}},
        {"no units, mock", pdf(no_units), 2, "awaiting_review", "raster_scan_eye", {"millimeter_units_unverified"}},
        {"no readings", pdf(with_image), 0, "rejected",
         "reading_not_bindable: Z23-Edur reader did not produce a reviewable candidate set", {}},
        {"png, no provider", {"img", "d.png", "image/png", test::kPngBytes, 300.0}, -1, "rejected",
         "pilot_processing_failed: Z23-Edur PNG input requires the embedded local reader", {}},
    };
    for (const Row& row : rows) {
        TempDir root;
        PilotService service(root.path(), row.mock_readings < 0 ? nullptr : mock(row.mock_readings),
                             make_pilot_steps(row.mock_readings < 0 ? nullptr : mock(row.mock_readings),
                                              test::pdf_page_helper()));
        const std::string id = service.create_job(row.submission)["job_id"];
        EXPECT_EQ(wait_settled(service, id), row.status) << row.name;
        const OrderedJson status = service.job_status(id).value();
        const std::string outcome = row.status == "rejected"
                                        ? status["error"]["code"].get<std::string>() + ": " +
                                              status["error"]["message"].get<std::string>()
                                        : status["route"].get<std::string>();
        EXPECT_EQ(outcome, row.route_or_error) << row.name;
        EXPECT_EQ(status["route_reason_codes"], OrderedJson(row.reasons)) << row.name;
        if (row.name == "image, mock") {
            // The raster fallback binds only pages of the template's own sheet size.
            const std::string refusal = test::review_refusal(service, id, test::confirm_all_review(status, "d-1"));
            EXPECT_EQ(refusal, "Z23-Edur reviewed values could not be bound: reader count does not match extracted "
                               "source annotation slots");
            EXPECT_EQ(status["preview_url"], "/api/pilot/jobs/" + id + "/files/preview.png");
        }
    }
}

TEST_F(PilotAnalysis, VectorRouteFromUploadToSealedBundle) {
    PilotService service(root_, nullptr, make_pilot_steps(nullptr, test::pdf_page_helper()));
    const std::string id = service.create_job(pdf(gen::plate_pdf(), "Plate.1"))["job_id"];
    ASSERT_EQ(wait_settled(service, id), "awaiting_review") << service.job_status(id).value().dump(2);
    const OrderedJson status = service.job_status(id).value();
    EXPECT_EQ(status["route"], "vector_text");
    EXPECT_EQ(status["route_reason_codes"], OrderedJson({"visible_native_text_candidate_human_review_required"}));
    const fs::path job = root_ / id;
    const auto header = read_png_header(job / "preview.png");
    ASSERT_TRUE(header);
    EXPECT_EQ(header->width, 1200u);
    EXPECT_EQ(header->height, 900u);
    EXPECT_EQ(parse_strict_json(read_pilot_file(job / "candidates.json"))["readings"].size(),
              gen::plate_pdf_values().size());
    EXPECT_EQ(service.find_artifact(id, "preview.png"), job / "preview.png");
    for (const auto& entry : fs::directory_iterator(root_)) EXPECT_EQ(entry.path().filename(), id);  // no partial preview

    // Decision order is what the template reads: reversed, the values no longer fit the outline.
    SortedJson reversed = test::confirm_all_review(status, "d-rev");
    std::reverse(reversed["decisions"].begin(), reversed["decisions"].end());
    EXPECT_EQ(test::review_refusal(service, id, reversed).rfind("Z23-Edur reviewed values could not be bound", 0), 0u);
    EXPECT_EQ(service.submit_review(id, test::confirm_all_review(status, "d-1"))["status"], "queued_model");
    ASSERT_EQ(wait_settled(service, id), "completed") << service.job_status(id).value().dump(2);
    EXPECT_TRUE(fs::is_regular_file(job / "evidence_bundle.tar"));
    const SortedJson manifest = parse_strict_json(read_pilot_file(job / "evidence_bundle_manifest.json"));
    EXPECT_EQ(manifest["route"], "vector_text");
    EXPECT_EQ(manifest["operator_review_decision_id"], "d-1");
}

TEST_F(PilotAnalysis, EmbeddedReaderRecordsItsEvidenceTree) {
    if (test::find_python3().empty()) GTEST_SKIP() << "python3 is missing";
    test::ReaderInstallation installation;
    installation.write_manifest();
    const auto provider =
        make_reader_provider({ReaderProviderKind::embedded, installation.manifest_path(), installation.root()});
    auto service = std::make_unique<PilotService>(root_, provider, make_pilot_steps(provider, test::pdf_page_helper()));
    gen::PdfSpec with_image = gen::plate_pdf();
    with_image.pages[0].inline_image = true;
    const std::string id = service->create_job(pdf(with_image, "ok-1"))["job_id"];
    ASSERT_EQ(wait_settled(*service, id), "awaiting_review") << service->job_status(id).value().dump(2);
    const OrderedJson status = service->job_status(id).value();
    EXPECT_EQ(status["reader_evidence_tree_sha256"], sha256_directory_tree(root_ / id / "reader_evidence"));
    // Recovery checks the tree; one changed evidence byte stops the next start.
    test::write_file(root_ / id / "reader_evidence" / "evidence_manifest.json", "{}");
    service.reset();
    try {
        PilotService again(root_, nullptr, {});
        ADD_FAILURE() << "changed evidence tree recovered";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Z23-Edur reader evidence tree identity changed");
    }
}

}  // namespace
