// Modelling of a reviewed pilot job: the pipeline's outputs, the pilot traffic document,
// the PILOT/HOLD stamps on the STEP file, the report and the views, and the evidence bundle.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "pilot/pilot_record.hpp"

namespace vesk {

inline constexpr std::string_view kStepDescriptionPilotHold =
    "FILE_DESCRIPTION(('VESK Z23-EDUR PILOT/HOLD - NOT FOR PRODUCTION'),'2;1');";

// Runs on the worker's private snapshot; throws on any failure.
void model_job(PilotRecord& snapshot);

// Replaces the translator's one FILE_DESCRIPTION line; an absent, doubled or already
// stamped header: "Z23-Edur STEP release-state header is missing or ambiguous".
void stamp_step_release_header(const std::filesystem::path& step_path);

// Appends "pilot_release" as the report's last key, every other key where it stood.
void stamp_output_hold(const std::filesystem::path& report_path, const std::string& review_decision_id);

}  // namespace vesk
