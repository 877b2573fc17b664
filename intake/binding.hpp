// Deterministic binding of a drawing reader's readings to the geometry extracted from the
// drawing's raster: each reading must land on exactly one annotation slot, be trustworthy
// enough to build from, and agree with the outline the raster shows; the matching shape
// template then builds the DimensionGraph. Bad drawings and bad readings never throw:
// they become binding errors and the result has no graph.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "intake/binding_blocks.hpp"
#include "intake/raster_intake.hpp"
#include "intake/reader_response.hpp"
#include "model/dimension_graph.hpp"

namespace vesk {

// Lowest confidence a reading may carry and still be built from.
inline constexpr double kBindingConfidenceFloor = 0.8;
// A reading's nearest slot must beat the second-nearest by at least this many pixels.
inline constexpr double kSlotAmbiguityGapPx = 4.0;

struct BindingResult {
    RasterIntakeResult raster;
    // Present exactly when binding_errors is empty.
    std::optional<DimensionGraph> bound_graph;
    // The input response; its dimension_graph holds the bound graph (or nothing), and on
    // the full path its errors are the reader's errors followed by the binding errors.
    ReaderResponse response;
    std::vector<std::string> binding_errors;
};

// Why a binding gave no graph: its first error, else "deterministic binding produced no graph".
std::string binding_failure_reason(const BindingResult& result);

// Extraction overrides; given together or not at all.
struct BindingOverride {
    bool present = false;
    std::uint8_t marker_verified = 0;
};

// Every binding of the process runs alone (each holds its raster several times over).
// Plain binding: reader errors do not stop it. The raster intake's own errors (bad
// resolution, unreadable input, unwritable output) propagate as exceptions.
BindingResult bind_readings_to_raster(const std::filesystem::path& input_png, double declared_dpi,
                                      const std::filesystem::path& normalized_png, const ReaderResponse& response);

// Binding with the extraction's marker flag and annotation slots replaced; reader errors
// stop it before any reading is checked.
BindingResult bind_readings_to_raster_with_options(const std::filesystem::path& input_png, double declared_dpi,
                                                   const std::filesystem::path& normalized_png,
                                                   const ReaderResponse& response, std::uint8_t marker_verified,
                                                   std::vector<SourceBox> annotation_slots);

BindingResult bind_readings_core(const std::filesystem::path& input_png, double declared_dpi,
                                 const std::filesystem::path& normalized_png, const ReaderResponse& response,
                                 BindingOverride override, std::vector<SourceBox> annotation_slots,
                                 bool stop_on_reader_errors);

// The readings in annotation-slot order, each checked against the normalised raster.
// Throws std::invalid_argument with the first problem found.
std::vector<DimensionReading> validate_reading_slots(const ReaderResponse& response, const RasterIntakeResult& raster);

// At least two pixels inside the box are darker than luma 140.
bool overlaps_dark_text(const RasterImage& image, const SourceBox& box);

}  // namespace vesk
