// Source analysis of a pilot job: the route by which its candidate dimensions are read
// (the PDF's own visible text, or the drawing reader on a raster), why, and the candidate
// set the operator must review.
#pragma once

#include <memory>

#include "intake/pdf_page_process.hpp"
#include "intake/reader_provider.hpp"
#include "pilot/pilot_record.hpp"
#include "pilot/pilot_service.hpp"

namespace vesk {

// Runs on the worker's private snapshot; throws on any failure. `provider` may be empty.
// A PDF's page work runs in `pdf_pages` helpers; a stop there throws PdfPageInterrupted.
void analyze_job(PilotRecord& snapshot, const std::shared_ptr<DrawingReaderProvider>& provider,
                 const PdfPageHelper& pdf_pages);

// The worker's two steps as the shipped program runs them.
PilotSteps make_pilot_steps(std::shared_ptr<DrawingReaderProvider> provider, PdfPageHelper pdf_pages);

}  // namespace vesk
