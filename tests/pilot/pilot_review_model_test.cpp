// Operator review and modelling with the real binding and pipeline: a plate drawing read
// as candidates, reviewed, bound, modelled, stamped PILOT/HOLD and sealed.
#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "intake/image_io.hpp"
#include "intake/sha256.hpp"
#include "model/pipeline.hpp"
#include "pilot/pilot_fixtures.hpp"
#include "pilot/pilot_model.hpp"
#include "pilot/pilot_model_internal.hpp"
#include "pilot/pilot_review.hpp"
#include "pilot/pilot_service.hpp"
#include "support/drawing_generator.hpp"
#include "support/expect_error.hpp"
#include "support/run_process.hpp"

namespace {
namespace fs = std::filesystem;
using namespace vesk;
using vesk::test::TempDir;

std::size_t count(const std::string& text, std::string_view part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The numbers of attribute `name` in one line of SVG.
std::vector<double> numbers_of(const std::string& line, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const std::size_t at = line.find(key);
    if (at == std::string::npos) return {};
    std::istringstream in(line.substr(at + key.size(), line.find('"', at + key.size()) - at - key.size()));
    std::vector<double> numbers;
    for (double n; in >> n;) numbers.push_back(n);
    return numbers;
}

// The view as the real SVG renderer draws it, 1000 pixels wide.
RasterImage render(const fs::path& svg) {
    const fs::path png = svg.string() + ".png";
    const auto run =
        test::run_process("/usr/bin/env", {"rsvg-convert", "-w", "1000", "-o", png.string(), svg.string()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    std::optional<RasterImage> image = load_png(png);
    EXPECT_TRUE(image) << png;
    return image ? std::move(*image) : RasterImage{};
}

// A pilot view is the pipeline's own view with the mark on its root and one caption line;
// rendered, the caption shows, and every pixel that it changes lies in the margin.
void expect_marked_view(const fs::path& marked, const fs::path& unmarked) {
    SCOPED_TRACE(marked.filename().string());
    const std::string text = test::read_file(marked);
    const std::string mark = " data-release-state=\"PILOT/HOLD\"";
    const std::size_t root_end = text.find(">\n");
    const std::size_t caption_at = text.rfind("  <text ");
    ASSERT_TRUE(root_end != std::string::npos && caption_at != std::string::npos && text.ends_with("</svg>\n"));
    const std::string root = text.substr(0, root_end);
    const std::string caption = text.substr(caption_at, text.size() - caption_at - 7);
    ASSERT_TRUE(root.ends_with(mark)) << root;
    EXPECT_TRUE(caption.ends_with(">PILOT/HOLD - NOT FOR PRODUCTION</text>\n")) << caption;
    EXPECT_EQ(text.substr(0, root_end - mark.size()) + text.substr(root_end, caption_at - root_end) + "</svg>\n",
              test::read_file(unmarked));

    const std::vector<double> box = numbers_of(root, "viewBox");
    const double w = numbers_of(root, "data-geometry-width").at(0);
    const double h = numbers_of(root, "data-geometry-height").at(0);
    const double m = (box.at(2) - w) / 2.0;
    // Legible: a font of at least 2 % of the view box's longer side.
    EXPECT_GE(numbers_of(caption, "font-size").at(0), 0.02 * std::max(box[2], box[3]));
    const RasterImage with = render(marked);
    const RasterImage plain = render(unmarked);
    ASSERT_TRUE(with.width == plain.width && with.height == plain.height && with.width > 0);
    const double unit = box[2] / static_cast<double>(with.width);  // one pixel in view units
    std::size_t changed = 0;
    std::size_t on_drawing = 0;
    for (std::int32_t y = 0; y < with.height; ++y) {
        for (std::int32_t x = 0; x < with.width; ++x) {
            if (with.at(x, y) == plain.at(x, y)) continue;
            ++changed;
            const double u = static_cast<double>(x) * unit;
            const double v = static_cast<double>(y) * unit;
            on_drawing += u + unit > m && u < m + w && v + unit > m && v < m + h;
        }
    }
    EXPECT_GT(changed, 2000u);
    EXPECT_EQ(on_drawing, 0u);
}

class PilotReviewModel : public ::testing::Test {
protected:
    void SetUp() override {
        drawing_.write_png(source_);
    }
    // Analysis stand-in: the plate's printed readings as the reader would give them.
    PilotSteps steps() {
        return PilotSteps{[this](PilotRecord& r) {
                              r.binding_dpi = *r.declared_dpi;
                              r.route = "raster_scan_eye";
                              r.route_reason_codes = {"explicit_png_raster_input"};
                              r.candidates = drawing_.reader_response(r.drawing_id);
                              write_pilot_file(r.job_directory / kPilotCandidatesFile,
                                               dump_json_document(candidates_to_json(*r.candidates)));
                          },
                          model_job};
    }
    std::string wait_for(PilotService& service, const std::string& job_id, const std::string& status) {
        std::string now;
        for (int i = 0; i < 3000; ++i) {
            now = service.job_status(job_id).value()["status"];
            if (now == status || now == "rejected") break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return now;
    }
    PilotSubmission submission() {
        return PilotSubmission{"plate-1", "plate.png", "image/png", test::read_file(source_), 300.0};
    }

    TempDir dir_;
    fs::path source_ = dir_.path() / "plate.png";
    vesk::test::Drawing drawing_ = vesk::test::plate_drawing();
    fs::path root_ = dir_.path() / "m23-pilot";
};

TEST_F(PilotReviewModel, ReviewedPlateIsModelledStampedAndSealed) {
    const ReaderResponse candidates = drawing_.reader_response("plate-1");
    {
        PilotService service(root_, nullptr, steps());
        service.create_job(submission());
        ASSERT_EQ(wait_for(service, "pilot-00000001", "awaiting_review"), "awaiting_review");

        // Refusals before binding leave no record.
        SortedJson body = test::confirm_all_review(service.job_status("pilot-00000001").value(), "d-1");
        struct Refusal {
            std::function<void(SortedJson&)> edit;
            std::string message;
        };
        const std::vector<Refusal> refusals = {
            {[](SortedJson& b) { b["extra"] = 1; }, "Z23-Edur review fields are invalid"},
            {[](SortedJson& b) { b["schema_version"] = "z23-edur-review-v2"; }, "Z23-Edur review schema is invalid"},
            {[](SortedJson& b) { b["decision_id"] = std::string(96, 'd'); }, "Z23-Edur review decision_id is unsafe"},
            {[](SortedJson& b) { b["acknowledgement"]["pilot_hold"] = false; },
             "Z23-Edur review requires explicit all-candidate and PILOT/HOLD acknowledgement"},
            {[](SortedJson& b) { b["acknowledgement"]["more"] = true; },
             "Z23-Edur review requires explicit all-candidate and PILOT/HOLD acknowledgement"},
            {[](SortedJson& b) { b["decisions"].erase(0); },
             "Z23-Edur review requires exactly one decision per candidate"},
            {[](SortedJson& b) { b["decisions"][1]["constraint_id"] = b["decisions"][0]["constraint_id"]; },
             "Z23-Edur candidate decision identity is missing or duplicated"},
            {[](SortedJson& b) { b["decisions"][0]["note"] = ""; }, "Z23-Edur candidate decision fields are invalid"},
            {[](SortedJson& b) { b["decisions"][0]["action"] = "approve"; }, "Z23-Edur candidate action is invalid"},
            {[](SortedJson& b) { b["decisions"][0]["value"] = 5; },
             "Z23-Edur confirmation requires an existing readable value"},
            {[](SortedJson& b) { b["decisions"][0] = {{"constraint_id", b["decisions"][0]["constraint_id"]},
                                                      {"action", "reject"}, {"value", 1}}; },
             "Rejected Z23-Edur candidates require null value"},
            {[](SortedJson& b) { b["decisions"][0]["action"] = "correct"; b["decisions"][0]["value"] = "7"; },
             "Z23-Edur correction requires a numeric value"},
            {[](SortedJson& b) { b["decisions"][0]["action"] = "correct"; b["decisions"][0]["value"] = 0; },
             "Z23-Edur reviewed values must be positive and finite"},
            {[](SortedJson& b) {
                 for (auto& d : b["decisions"]) d["action"] = "reject";
             }, "Z23-Edur review rejected every candidate"},
        };
        for (const Refusal& r : refusals) {
            SortedJson edited = body;
            r.edit(edited);
            EXPECT_EQ(test::review_refusal(service, "pilot-00000001", edited), r.message);
        }
        EXPECT_EQ(test::review_refusal(service, "pilot-00000009", body), "Z23-Edur pilot job was not found");
        EXPECT_FALSE(fs::exists(root_ / "pilot-00000001" / "review"));

        // A correction the outline contradicts binds to nothing; its id is spent.
        SortedJson wrong = body;
        wrong["decisions"][0]["action"] = "correct";
        wrong["decisions"][0]["value"] = 999.0;
        wrong["decision_id"] = "d-0";
        EXPECT_EQ(test::review_refusal(service, "pilot-00000001", wrong).rfind("Z23-Edur reviewed values could not be bound: ", 0),
                  0u);
        const SortedJson attempt = parse_strict_json(read_pilot_file(root_ / "pilot-00000001" / "review" / "d-0.json"));
        EXPECT_EQ(attempt["accepted"], false);
        EXPECT_FALSE(attempt["binding_errors"].empty());
        EXPECT_EQ(test::review_refusal(service, "pilot-00000001", wrong), "Z23-Edur decision identity already exists");

        EXPECT_EQ(service.submit_review("pilot-00000001", body)["status"], "queued_model");
        EXPECT_EQ(test::review_refusal(service, "pilot-00000001", body), "Z23-Edur job is not awaiting review");
        ASSERT_EQ(wait_for(service, "pilot-00000001", "completed"), "completed")
            << service.job_status("pilot-00000001").value().dump(2);
    }
    const fs::path job = root_ / "pilot-00000001";
    const std::string ordered = read_pilot_file(job / "review" / "d-1.json");
    EXPECT_LT(ordered.find("\"schema_version\""), ordered.find("\"job_id\""));
    EXPECT_LT(ordered.find("\"acknowledgement\""), ordered.find("\"decision_id\""));

    const std::string step = read_pilot_file(job / "model" / "reviewed_graph.step");
    EXPECT_EQ(count(step, kStepDescriptionPilotHold), 1u);
    EXPECT_EQ(count(step, "Open CASCADE Model"), 0u);
    EXPECT_EQ(count(step, "FILE_DESCRIPTION"), 1u);
    const OrderedJson report = parse_strict_ordered_json(read_pilot_file(job / "model" / "reviewed_graph_report.json"));
    EXPECT_EQ(report.items().begin().key(), "schema_version");
    EXPECT_EQ((--report.end()).key(), "pilot_release");
    EXPECT_EQ(report["pilot_release"].dump(),
              R"({"schema_version":"z23-edur-output-hold-v1","release_state":"PILOT/HOLD",)"
              R"("production_approved":false,"independent_ground_truth":false,"operator_review_decision_id":"d-1"})");
    EXPECT_THROW(stamp_output_hold(job / "model" / "reviewed_graph_report.json", "d-2"), std::runtime_error);
    EXPECT_THROW(stamp_step_release_header(job / "model" / "reviewed_graph.step"), std::runtime_error);
    // Each view carries the mark, and the manifest pins the marked bytes.
    const PipelineResult unmarked = run_pipeline(job / "reviewed_graph.json", dir_.path() / "unmarked");
    std::map<std::string, std::string> listed;
    const SortedJson manifest = parse_strict_json(read_pilot_file(job / "evidence_bundle_manifest.json"));
    for (const auto& file : manifest["files"]) listed[file["path"]] = file["sha256"];
    for (const fs::path& path : {unmarked.outputs.front_svg, unmarked.outputs.top_svg, unmarked.outputs.side_svg}) {
        const fs::path view = job / "model" / path.filename();
        expect_marked_view(view, path);
        EXPECT_EQ(listed["model/" + path.filename().string()], sha256_file(view));
        EXPECT_EQ(test::error_message<std::runtime_error>([&] { stamp_view_release_mark(view); }),
                  "Z23-Edur SVG view cannot be stamped safely");
    }
    const SortedJson traffic = parse_strict_json(read_pilot_file(job / "pilot_traffic.json"));
    EXPECT_EQ(traffic["overall"], "yellow");
    EXPECT_EQ(traffic["dimensions"].size(), candidates.readings.size());
    for (const auto& d : traffic["dimensions"]) EXPECT_EQ(d["signal"], "yellow");

    // A restart serves the completed job; one changed STEP byte stops the next start.
    {
        PilotService service(root_, nullptr, {});
        EXPECT_EQ(service.job_status("pilot-00000001").value()["status"], "completed");
        EXPECT_TRUE(service.find_artifact("pilot-00000001", "evidence.tar"));
    }
    std::string changed = step;
    changed[changed.size() / 2] ^= 1;
    test::write_file(job / "model" / "reviewed_graph.step", changed);
    try {
        PilotService service(root_, nullptr, {});
        ADD_FAILURE() << "changed STEP file recovered";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "pilot-00000001: persisted artifact 'step' changed");
    }
}

}  // namespace
