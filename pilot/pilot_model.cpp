#include "pilot/pilot_model.hpp"
#include "pilot/pilot_model_internal.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "model/json_util.hpp"
#include "model/pipeline.hpp"
#include "model/views.hpp"
#include "pilot/pilot_bundle.hpp"
#include "pilot/pilot_documents.hpp"
#include "pilot/pilot_files.hpp"

namespace vesk {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kStepDescriptionAsWritten = "FILE_DESCRIPTION(('Open CASCADE Model'),'2;1');";

std::size_t count_occurrences(const std::string& text, std::string_view part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

constexpr std::string_view kViewReleaseCaption = "PILOT/HOLD - NOT FOR PRODUCTION";

// The caption's font: monospace glyphs advance 0.6 em, and the em box is taken as 0.95 em
// above the baseline and 0.25 em below, which holds the caps and the slash of common fonts.
constexpr double kCaptionAdvance = 0.6;
constexpr double kCaptionAscent = 0.95;
constexpr double kCaptionDescent = 0.25;
// Font size as a share of the margin: the em box (1.2 em) leaves over a quarter of it free.
constexpr double kCaptionFontToMargin = 0.6;

std::runtime_error view_not_stampable() { return std::runtime_error("Z23-Edur SVG view cannot be stamped safely"); }

// The value of the one attribute `name` of an element, or nothing when it is absent or doubled.
std::optional<std::string_view> attribute_value(std::string_view element, std::string_view name) {
    const std::string key = " " + std::string(name) + "=\"";
    const std::size_t at = element.find(key);
    if (at == std::string_view::npos || element.find(key, at + 1) != std::string_view::npos) return std::nullopt;
    const std::size_t begin = at + key.size();
    const std::size_t end = element.find('"', begin);
    if (end == std::string_view::npos) return std::nullopt;
    return element.substr(begin, end - begin);
}

std::optional<double> finite_number(std::string_view text) {
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

// The view box and the margin that the writer left around the geometry on every side.
struct ViewFrame {
    double width = 0.0;
    double height = 0.0;
    double margin = 0.0;
};

ViewFrame view_frame(std::string_view root) {
    const auto box = attribute_value(root, "viewBox");
    const auto geometry_width = attribute_value(root, "data-geometry-width");
    const auto geometry_height = attribute_value(root, "data-geometry-height");
    if (!box || !box->starts_with("0 0 ") || !geometry_width || !geometry_height) throw view_not_stampable();
    const std::string_view size = box->substr(4);
    const std::size_t blank = size.find(' ');
    if (blank == std::string_view::npos) throw view_not_stampable();
    const auto width = finite_number(size.substr(0, blank));
    const auto height = finite_number(size.substr(blank + 1));
    const auto w = finite_number(*geometry_width);
    const auto h = finite_number(*geometry_height);
    if (!width || !height || !w || !h || !(*w > 0.0) || !(*h > 0.0)) throw view_not_stampable();
    const double margin = std::min(*width - *w, *height - *h) / 2.0;
    if (!(margin > 0.0)) throw view_not_stampable();
    return ViewFrame{*width, *height, margin};
}

// The caption runs along the longer side of the view box: centred in the bottom margin, or
// for a view taller than wide, read upwards in the left margin. Its em box is centred
// across the margin and its length leaves half a margin free at each end.
std::string release_caption_line(const ViewFrame& frame) {
    const bool along_bottom = frame.width >= frame.height;
    const double band_length = along_bottom ? frame.width : frame.height;
    const double characters = static_cast<double>(kViewReleaseCaption.size());
    const double font_size =
        std::min(kCaptionFontToMargin * frame.margin, (band_length - frame.margin) / (characters * kCaptionAdvance));
    const double across = frame.margin / 2.0 + (kCaptionAscent - kCaptionDescent) / 2.0 * font_size;
    // Turned a quarter left about its anchor, the glyphs' tops face the outer edge.
    const double x = along_bottom ? frame.width / 2.0 : across;
    const double y = along_bottom ? frame.height - frame.margin + across : frame.height / 2.0;

    std::string line = "  <text";
    append_svg_number_attribute(line, "x", x);
    append_svg_number_attribute(line, "y", y);
    line += " font-family=\"monospace\" font-weight=\"bold\"";
    append_svg_number_attribute(line, "font-size", font_size);
    append_svg_number_attribute(line, "textLength", font_size * characters * kCaptionAdvance);
    line += " lengthAdjust=\"spacingAndGlyphs\" text-anchor=\"middle\" fill=\"#c00000\"";
    if (!along_bottom) {
        line += " transform=\"rotate(-90 ";
        append_svg_number(line, x);
        line += ' ';
        append_svg_number(line, y);
        line += ")\"";
    }
    line += '>';
    line += kViewReleaseCaption;
    line += "</text>\n";
    return line;
}

}  // namespace

void stamp_step_release_header(const fs::path& step_path) {
    std::string text = read_pilot_file(step_path);
    if (count_occurrences(text, kStepDescriptionAsWritten) != 1 ||
        count_occurrences(text, kStepDescriptionPilotHold) != 0) {
        throw std::runtime_error("Z23-Edur STEP release-state header is missing or ambiguous");
    }
    text.replace(text.find(kStepDescriptionAsWritten), kStepDescriptionAsWritten.size(), kStepDescriptionPilotHold);
    write_file_atomically(step_path, text);
}

void stamp_output_hold(const fs::path& report_path, const std::string& review_decision_id) {
    OrderedJson report;
    try {
        report = parse_strict_ordered_json(read_pilot_file(report_path));
    } catch (const std::exception& error) {
        throw std::runtime_error(std::string("Z23-Edur cannot stamp its output report: ") + error.what());
    }
    if (!report.is_object() || report.contains("pilot_release")) {
        throw std::runtime_error("Z23-Edur output report cannot be stamped safely");
    }
    OrderedJson release = OrderedJson::object();
    release["schema_version"] = "z23-edur-output-hold-v1";
    release["release_state"] = "PILOT/HOLD";
    release["production_approved"] = false;
    release["independent_ground_truth"] = false;
    release["operator_review_decision_id"] = review_decision_id;
    report["pilot_release"] = std::move(release);
    write_file_atomically(report_path, dump_json_document(report));
}

void stamp_view_release_mark(const fs::path& svg_path) {
    static constexpr std::string_view kClosing = "</svg>\n";
    std::string text = read_pilot_file(svg_path);
    const std::size_t root_end = text.find(">\n");
    if (!text.starts_with("<svg ") || root_end == std::string::npos || !text.ends_with(kClosing) ||
        count_occurrences(text, "<svg") != 1 || count_occurrences(text, "</svg>") != 1 ||
        text.find("data-release-state") != std::string::npos) {
        throw view_not_stampable();
    }
    const std::string caption = release_caption_line(view_frame(std::string_view(text).substr(0, root_end)));
    text.insert(text.size() - kClosing.size(), caption);
    text.insert(root_end, " data-release-state=\"PILOT/HOLD\"");
    write_file_atomically(svg_path, text);
}

void model_job(PilotRecord& snapshot) {
    verify_reader_evidence_tree(snapshot);
    const PipelineResult result = run_pipeline(snapshot.reviewed_graph_path, snapshot.job_directory / "model");
    const DimensionGraph graph = load_dimension_graph(snapshot.reviewed_graph_path);
    write_pilot_file(snapshot.traffic_path, dump_json_document(pilot_traffic_to_json(graph, snapshot.drawing_id)));
    snapshot.artifacts = PilotArtifacts{result.outputs.step, result.outputs.front_svg, result.outputs.top_svg,
                                        result.outputs.side_svg, result.outputs.report};
    if (!snapshot.review_decision_id) {
        throw std::runtime_error("Z23-Edur cannot stamp outputs without review provenance");
    }
    stamp_step_release_header(snapshot.artifacts->step);
    stamp_output_hold(snapshot.artifacts->report_json, *snapshot.review_decision_id);
    for (const fs::path* view :
         {&snapshot.artifacts->front_svg, &snapshot.artifacts->top_svg, &snapshot.artifacts->side_svg}) {
        stamp_view_release_mark(*view);
    }
    write_evidence_bundle(snapshot);
}

}  // namespace vesk
