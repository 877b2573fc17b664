#include "model/pipeline.hpp"

#include <cmath>
#include <exception>
#include <map>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <BRepBuilderAPI_Copy.hxx>

#include "model/document_files.hpp"
#include "model/json_util.hpp"
#include "model/occt_support.hpp"
#include "model/pipeline_internal.hpp"
#include "model/pipeline_steps.hpp"
#include "model/step_exchange.hpp"
#include "model/views.hpp"

namespace vesk {
namespace {

constexpr double kHoleMatchTolerance = 1e-6;

bool same_hole(const MeasuredCylinder& cylinder, const ModelHole& hole) {
    return std::abs(cylinder.x - hole.center_x) <= kHoleMatchTolerance &&
           std::abs(cylinder.y - hole.center_y) <= kHoleMatchTolerance &&
           std::abs(cylinder.radius - hole.radius) <= kHoleMatchTolerance;
}

[[noreturn]] void throw_lost_hole(const ModelHole& hole) {
    throw std::runtime_error("STEP round trip lost cylindrical hole '" + hole.entity_id + "'");
}

nlohmann::ordered_json string_array(const std::vector<std::string>& values) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const auto& value : values) array.push_back(value);
    return array;
}

bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code ec;
    if (std::filesystem::exists(b, ec) && std::filesystem::equivalent(a, b, ec)) return true;
    const auto ca = std::filesystem::weakly_canonical(std::filesystem::absolute(a), ec);
    if (ec) return false;
    const auto cb = std::filesystem::weakly_canonical(std::filesystem::absolute(b), ec);
    return !ec && ca == cb;
}

platform::TemporaryFile temporary_output(const std::filesystem::path& path, const std::string& what) {
    try {
        return platform::TemporaryFile(path);
    } catch (const platform::FileError& error) {
        throw_output_error(error, what, path);
    }
}

void write_temporary_output(platform::TemporaryFile& file, std::string_view text, const std::string& what) {
    try {
        file.write(text);
    } catch (const platform::FileError& error) {
        throw_output_error(error, what, file.final_path());
    }
}

// The STEP file written and read back, with the failure of each half; filled by one thread.
struct StepWork {
    std::exception_ptr write_failure;
    std::exception_ptr round_trip_failure;
    ShapeMeasurement measurement;
};

// The edge of the STEP thread: nothing escapes, every failure is kept for the caller.
void do_step_work(const TopoDS_Shape& shape, const std::vector<ModelHole>& holes, platform::TemporaryFile& step,
                  StepWork& work) noexcept {
    try {
        write_step_file(shape, step);
    } catch (...) {
        work.write_failure = std::current_exception();
        return;
    }
    // The read-back reads the complete temporary, through a name the translator cannot misread.
    try {
        work.measurement = measure_shape(read_step_file(step));
        check_step_round_trip_holes(work.measurement, holes);
    } catch (...) {
        work.round_trip_failure = std::current_exception();
    }
}

// The hidden-line algorithm and the STEP translator's shape processing both rebuild
// sub-shapes and write the flags of the ones they reuse, so two threads never share one
// shape: the STEP thread gets a deep copy (same geometry, same order, same bytes written).
// False when no copy can be made; the work then runs in sequence.
bool own_copy(const TopoDS_Shape& shape, TopoDS_Shape& copy) noexcept {
    if (shape.IsNull()) return true;  // the STEP write refuses it, as in sequence
    try {
        call_occt([&] {
            BRepBuilderAPI_Copy copier(shape, Standard_True, Standard_False);
            copy = copier.Shape();
        });
        return !copy.IsNull();
    } catch (...) {
        return false;
    }
}

// An empty thread when none can be started; the work then runs in sequence.
std::jthread start_step_work(const TopoDS_Shape& shape, const std::vector<ModelHole>& holes,
                             platform::TemporaryFile& step, StepWork& work) noexcept {
    try {
        return std::jthread([&shape, &holes, &step, &work] { do_step_work(shape, holes, step, work); });
    } catch (...) {
        return std::jthread();
    }
}

void write_views(const TopoDS_Shape& shape, const OutputPaths& outputs, std::vector<platform::TemporaryFile>& files) {
    const std::pair<ViewType, const std::filesystem::path*> view_outputs[] = {
        {ViewType::front, &outputs.front_svg}, {ViewType::top, &outputs.top_svg}, {ViewType::side, &outputs.side_svg}};
    files.reserve(std::size(view_outputs));
    for (const auto& [view, path] : view_outputs) {
        files.push_back(temporary_output(*path, "SVG"));
        write_temporary_output(files.back(), view_svg_text(view, project_hlr_view(shape, make_view_projection(view))),
                               "SVG");
    }
}

// Refuses output paths that resolve to the graph file itself.
void check_outputs_spare_input(const std::filesystem::path& graph_path, const OutputPaths& outputs) {
    for (const auto* output :
         {&outputs.step, &outputs.front_svg, &outputs.top_svg, &outputs.side_svg, &outputs.report}) {
        if (same_file(graph_path, *output)) {
            throw std::invalid_argument("Output file '" + output->string() + "' would overwrite the input graph");
        }
    }
}

}  // namespace

std::string join_ids(const std::vector<std::string>& ids) {
    std::string joined;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i > 0) joined += ", ";
        joined += ids[i];
    }
    return joined;
}

OutputPaths make_output_paths(const std::filesystem::path& graph_path, const std::filesystem::path& output_directory) {
    const std::string stem = graph_path.stem().string();
    if (stem.empty()) throw std::invalid_argument("Input graph filename must have a non-empty stem");
    // The report names the graph and its outputs in JSON text, which must be UTF-8.
    if (!platform::is_valid_utf8(graph_path.filename().string())) {
        throw std::invalid_argument("Input graph filename must be valid UTF-8");
    }
    return OutputPaths{output_directory / (stem + ".step"), output_directory / (stem + "_front.svg"),
                       output_directory / (stem + "_top.svg"), output_directory / (stem + "_side.svg"),
                       output_directory / (stem + "_report.json")};
}

void check_step_round_trip_holes(const ShapeMeasurement& measurement, const std::vector<ModelHole>& holes) {
    std::vector<bool> used(measurement.cylinders.size(), false);
    for (const auto& hole : holes) {
        bool found = false;
        for (std::size_t i = 0; i < measurement.cylinders.size(); ++i) {
            if (!used[i] && same_hole(measurement.cylinders[i], hole)) {
                used[i] = true;
                found = true;
                break;
            }
        }
        if (!found) throw_lost_hole(hole);
    }
}

std::string report_text(const std::filesystem::path& graph_path, const DimensionGraph& graph, const BuiltModel& model,
                        const SketchAnalysis& analysis, const ShapeMeasurement& measurement,
                        const OutputPaths& outputs) {
    using Json = nlohmann::ordered_json;
    Json solver = Json::object();
    solver["engine"] = "Vesk GCS 1";
    solver["degrees_of_freedom"] = analysis.degrees_of_freedom;
    solver["missing_dimensions"] = string_array(analysis.missing_dimensions);
    solver["conflicting_constraints"] = string_array(analysis.conflicting_constraints);
    solver["redundant_constraints"] = string_array(analysis.redundant_constraints);

    Json bounds = Json::object();
    bounds["min"] = Json::array({measurement.min_x, measurement.min_y, measurement.min_z});
    bounds["max"] = Json::array({measurement.max_x, measurement.max_y, measurement.max_z});

    Json holes = Json::array();
    for (const auto& hole : model.holes) {
        const MeasuredCylinder* match = nullptr;
        for (const auto& cylinder : measurement.cylinders) {
            if (same_hole(cylinder, hole)) {
                match = &cylinder;
                break;
            }
        }
        if (match == nullptr) throw_lost_hole(hole);
        Json entry = Json::object();
        entry["entity_id"] = hole.entity_id;
        entry["center"] = Json::array({match->x, match->y});
        entry["diameter"] = 2.0 * match->radius;
        holes.push_back(std::move(entry));
    }

    Json model_json = Json::object();
    model_json["construction"] = model.construction;
    model_json["bounds"] = std::move(bounds);
    model_json["holes"] = std::move(holes);

    Json files = Json::object();
    files["step"] = outputs.step.filename().string();
    files["front_svg"] = outputs.front_svg.filename().string();
    files["top_svg"] = outputs.top_svg.filename().string();
    files["side_svg"] = outputs.side_svg.filename().string();

    Json report = Json::object();
    report["schema_version"] = "m2";
    report["result"] = "success";
    report["input_graph"] = graph_path.filename().string();
    report["units"] = graph.units;
    report["part_class"] = std::string(to_string(graph.part_class));
    report["solver"] = std::move(solver);
    report["model"] = std::move(model_json);
    report["outputs"] = std::move(files);

    return dump_json_document(report);
}

void write_report(const std::filesystem::path& graph_path, const DimensionGraph& graph, const BuiltModel& model,
                  const SketchAnalysis& analysis, const ShapeMeasurement& measurement, const OutputPaths& outputs) {
    write_output_file(outputs.report, report_text(graph_path, graph, model, analysis, measurement, outputs), "report");
}

ShapeMeasurement write_step_and_views(const BuiltModel& model, const OutputPaths& outputs, OutputStages stages) {
    // Each output is written whole under a temporary name in the output directory and renamed
    // into place, so a failed, crashed or concurrent run never leaves a partial file under a
    // final name. The STEP file and the views are placed before the read-back's verdict as
    // they always were; the caller's report, placed last, marks a run that passed every check.
    platform::TemporaryFile step = temporary_output(outputs.step, "STEP");
    StepWork work;
    std::vector<platform::TemporaryFile> view_files;
    std::exception_ptr views_failure;
    {
        // Declared after everything the thread uses, so it is joined before they go.
        TopoDS_Shape step_shape;
        std::jthread beside;
        if (stages == OutputStages::beside && own_copy(model.shape, step_shape)) {
            beside = start_step_work(step_shape, model.holes, step, work);
        }
        if (!beside.joinable()) {
            do_step_work(model.shape, model.holes, step, work);
            if (work.write_failure) std::rethrow_exception(work.write_failure);
        }
        try {
            write_views(model.shape, outputs, view_files);
        } catch (...) {
            views_failure = std::current_exception();
        }
    }
    // The first failing step in the order STEP write, views, read-back is the one reported.
    if (work.write_failure) std::rethrow_exception(work.write_failure);
    if (views_failure) std::rethrow_exception(views_failure);
    commit_output_file(step, "STEP");
    for (platform::TemporaryFile& file : view_files) commit_output_file(file, "SVG");
    if (work.round_trip_failure) std::rethrow_exception(work.round_trip_failure);
    return std::move(work.measurement);
}

PipelineResult run_pipeline(const std::filesystem::path& graph_path, const std::filesystem::path& output_directory,
                            PipelineRoute route) {
    // One boundary for the whole run: no OCCT exception leaves it untranslated.
    return call_occt([&] {
        const DimensionGraph graph = load_dimension_graph(graph_path);
        SketchAnalysis analysis = analyze_dimension_graph(graph);
        if (!analysis.conflicting_constraints.empty()) {
            throw std::invalid_argument("Conflicting constraints: " + join_ids(analysis.conflicting_constraints));
        }
        if (analysis.degrees_of_freedom != 0 || !analysis.missing_dimensions.empty()) {
            throw std::invalid_argument("Underconstrained sketch; missing dimensions: " +
                                        join_ids(analysis.missing_dimensions));
        }
        check_relation_values(graph);
        const BuiltModel model =
            build_m2_solid(graph, route.holes_one_by_one ? HoleCutRoute::one_by_one : HoleCutRoute::together);

        const OutputPaths outputs = make_output_paths(graph_path, output_directory);
        check_outputs_spare_input(graph_path, outputs);
        std::error_code ec;
        std::filesystem::create_directories(output_directory, ec);
        if (ec) {
            throw std::runtime_error("Cannot create output directory '" + output_directory.string() +
                                     "': " + ec.message());
        }

        const ShapeMeasurement measurement = write_step_and_views(
            model, outputs, route.stages_in_sequence ? OutputStages::in_sequence : OutputStages::beside);
        platform::TemporaryFile report = temporary_output(outputs.report, "report");
        write_temporary_output(report, report_text(graph_path, graph, model, analysis, measurement, outputs), "report");
        commit_output_file(report, "report");
        return PipelineResult{model.construction, std::move(analysis), outputs};
    });
}

}  // namespace vesk
