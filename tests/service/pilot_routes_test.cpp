// The pilot submission body: every refusal of the create route, in its order, and what an
// accepted body becomes.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "service/pilot_routes_internal.hpp"

namespace {
using nlohmann::json;

json pilot_body() {
    return {{"schema_version", "vesk-z23-edur-job-v1"},
            {"drawing_id", "plate-1"},
            {"source", {{"filename", "plate.pdf"}, {"media_type", "application/pdf"}, {"data_base64", "JVBERi0="}}}};
}

std::string outcome(const std::string& text) {
    try {
        const vesk::PilotSubmission s = vesk::parse_pilot_submission(text);
        return "ok " + s.drawing_id + " " + s.source_filename + " " + s.media_type + " " + s.bytes + " " +
               (s.declared_dpi ? std::to_string(*s.declared_dpi) : "none");
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
}

TEST(PilotRoutes, SubmissionBodyTable) {
    struct Row {
        std::function<void(json&)> edit;
        std::string result;
    };
    const std::string png = "iVBORw0KGgo=";  // the 8 signature bytes alone
    const std::vector<Row> rows = {
        {[](json&) {}, "ok plate-1 plate.pdf application/pdf %PDF- none"},
        {[](json& b) { b["declared_dpi"] = nullptr; }, "ok plate-1 plate.pdf application/pdf %PDF- none"},
        {[](json& b) { b["declared_dpi"] = 5; }, "ok plate-1 plate.pdf application/pdf %PDF- 5.000000"},
        {[](json& b) { b["declared_dpi"] = 1200.1; }, "ok plate-1 plate.pdf application/pdf %PDF- 1200.100000"},
        {[](json& b) { b = json::array(); }, "Z23-Edur body must be an object"},
        {[](json& b) { b["zz"] = 1; b["aa"] = 1; }, "Z23-Edur body contains unknown field 'aa'"},
        {[](json& b) { b.erase("schema_version"); }, "Z23-Edur job: field 'schema_version' must be a string"},
        {[](json& b) { b["schema_version"] = ""; }, "Z23-Edur job: field 'schema_version' must not be empty"},
        {[](json& b) { b["schema_version"] = "vesk-z23-edur-job-v2"; }, "Z23-Edur job schema is invalid"},
        {[](json& b) { b["drawing_id"] = 7; }, "Z23-Edur job: field 'drawing_id' must be a string"},
        {[](json& b) { b.erase("source"); }, "Z23-Edur source must be an object"},
        {[](json& b) { b["source"] = "plate.pdf"; }, "Z23-Edur source must be an object"},
        {[](json& b) { b["source"]["size"] = 1; }, "Z23-Edur source contains unknown field 'size'"},
        {[](json& b) { b["source"]["filename"] = ""; }, "Z23-Edur source: field 'filename' must not be empty"},
        {[](json& b) { b["source"]["media_type"] = nullptr; }, "Z23-Edur source: field 'media_type' must be a string"},
        {[](json& b) { b["source"]["data_base64"] = "JVBERi0"; }, "source_image.data_base64 is not valid base64"},
        {[&](json& b) { b["source"]["data_base64"] = png; }, "Z23-Edur PDF signature is invalid"},
        {[](json& b) { b["source"]["media_type"] = "image/png"; }, "source_image must contain PNG bytes"},
        {[&](json& b) { b["source"]["media_type"] = "image/png"; b["source"]["data_base64"] = png; },
         "ok plate-1 plate.pdf image/png \x89PNG\r\n\x1a\n none"},
        {[](json& b) { b["source"]["media_type"] = "IMAGE/PNG"; }, "Z23-Edur source media type is unsupported"},
        {[](json& b) { b["declared_dpi"] = "300"; }, "Z23-Edur declared_dpi must be numeric or null"},
        {[](json& b) { b["declared_dpi"] = true; }, "Z23-Edur declared_dpi must be numeric or null"},
    };
    for (const Row& row : rows) {
        json body = pilot_body();
        row.edit(body);
        EXPECT_EQ(outcome(body.dump()), row.result) << body.dump();
    }
    EXPECT_EQ(outcome("{").rfind("Z23-Edur body is not valid JSON: ", 0), 0u);
}

}  // namespace
