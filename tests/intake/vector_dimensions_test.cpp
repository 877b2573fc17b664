// Vector dimension text: the classifier table, run building, reading order, millimetre
// evidence, and a generated drawing read from its PDF and bound to the plate template.
#include "intake/vector_dimensions.hpp"
#include "intake/vector_dimensions_internal.hpp"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "intake/binding.hpp"
#include "support/pdf_writer.hpp"
#include "support/run_process.hpp"

namespace vesk {
namespace {

using C = VectorTextClass;

TEST(VectorText, ClassifierTable) {
    struct Row {
        const char* text;
        C text_class;
        std::optional<double> value;
        bool bindable;
        const char* message;
    };
    const Row rows[] = {
        {"\xC3\x98" "12", C::diameter, 12.0, true, "exact diameter notation"},
        {"\xC3\x98" "12+0.1-0.05", C::diameter, 12.0, false,
         "diameter tolerance classified but DimensionGraph v0 cannot preserve tolerance semantics"},
        {"\xC3\x98" "ABC", C::not_dimension, std::nullopt, false, "invalid diameter notation"},
        {"\xE2\x8C\x80" "1O.5", C::diameter, 10.5, true, "exact diameter notation"},
        {"R5", C::radius, 5.0, true, "exact radius notation"},
        {"M6X1", C::thread, 6.0, false, "metric thread classified but construction is metadata-only"},
        {"10\xC2\xB1" "0.1", C::tolerance, 10.0, false,
         "tolerance classified but DimensionGraph v0 cannot preserve tolerance semantics"},
        {"A-A", C::not_dimension, std::nullopt, false, "title block or note text"},
        {"25.4MM", C::linear, 25.4, true, "explicit millimeter suffix"},
        {"1.000 [25.4MM]", C::linear, 25.4, true,
         "bracketed dual-unit conversion verified at 25.4 millimeters per inch"},
        {" 12,5\t", C::linear, 12.5, true, "exact numeric notation"},
        {"1,2.5", C::not_dimension, std::nullopt, false, "title block or note text"},
        {"0", C::not_dimension, std::nullopt, false, "title block or note text"},
        {"\xC3\x98" "10H7", C::diameter, 10.0, true, "ISO fit nominal diameter; tolerance class is not scored"},
        {"DIA12", C::diameter, 12.0, true, "exact diameter notation"},
        {"50+0.2-0.1", C::tolerance, 50.0, false,
         "asymmetric tolerance classified but DimensionGraph v0 cannot preserve tolerance semantics"},
        {"  ", C::not_dimension, std::nullopt, false, "empty text object"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const VectorTextClassification c = classify_vector_text(row.text, SourceBox{1, 2, 3, 4});
        EXPECT_EQ(c.text_class, row.text_class);
        EXPECT_EQ(c.value, row.value);
        EXPECT_EQ(c.bindable, row.bindable);
        EXPECT_EQ(c.message, row.message);
        EXPECT_EQ(c.bbox, (SourceBox{1, 2, 3, 4}));
    }
    EXPECT_EQ(classify_vector_text(" 12,5\t", {}).text, "12,5");
    for (const char* evidence : {"25.4MM", "MILLIMETERS", "(millimeters)", "UNITS: MM", "1.000 [25.4MM]", "M6X1"}) {
        EXPECT_TRUE(has_millimeter_unit_evidence(evidence)) << evidence;
    }
    for (const char* none : {"MILLIMETRES", "MM2", "A-A", "12"}) EXPECT_FALSE(has_millimeter_unit_evidence(none)) << none;
}

PdfPageVectors page_of(const std::vector<PdfTextItem>& texts) {
    PdfPageVectors page;
    page.width_px = 1200;
    page.height_px = 900;
    page.dpi = 300.0;
    page.texts = texts;
    return page;
}

// A glyph 10 px wide and 20 px tall whose left edge is at x.
PdfTextItem glyph(const char* text, double x, double y = 100.0) { return PdfTextItem{text, SourceBox{x, y, 10, 20}}; }

TEST(VectorText, RunsJoinFragmentsIntoNumbers) {
    PdfPageVectors page = page_of({glyph("7", 500), glyph("1", 100), glyph("2", 112), glyph(".", 124),
                                   glyph("5", 136), glyph("3", 300, 400), glyph("4", 300, 378)});
    build_text_runs(page, false);
    ASSERT_EQ(page.texts.size(), 4u);
    EXPECT_EQ(page.texts[0].text, "12.5");
    EXPECT_EQ(page.texts[0].bbox, (SourceBox{100, 100, 46, 20}));
    EXPECT_EQ(page.texts[1].text, "7");
    build_text_runs(page, true);  // "3" below "4": read upward
    ASSERT_EQ(page.texts.size(), 3u);
    EXPECT_EQ(page.texts[0].text, "34");
    EXPECT_EQ(page.texts[1].text, "12.5");
    // A gap wider than 0.45 of the height, and a fragment off the row, stay apart.
    PdfPageVectors apart = page_of({glyph("1", 100), glyph("2", 120), glyph("3", 110, 115)});
    build_text_runs(apart, false);
    EXPECT_EQ(apart.texts.size(), 3u);

    const VectorDimensionResult result = read_vector_dimensions(page_of({glyph("1", 100), glyph("2", 112),
                                                                         glyph(".", 124), glyph("5", 136)}),
                                                                "d");
    ASSERT_EQ(result.response.readings.size(), 1u);
    EXPECT_EQ(result.response.readings[0].value, 12.5);
    // Readings are kept beside the missing-units error.
    EXPECT_EQ(result.response.errors,
              std::vector<std::string>{"vector text did not provide explicit millimeter unit evidence"});
}

TEST(VectorText, ReadingOrderRowsAndErrors) {
    // Centres 1.5 px apart share a row (left to right); 2.5 px apart do not.
    const VectorDimensionResult same = read_vector_dimensions(
        page_of({PdfTextItem{"20", {300, 101.5, 30, 20}}, PdfTextItem{"10", {100, 100, 30, 20}}, {"MM", {0, 0, 9, 9}}}),
        "d");
    const VectorDimensionResult apart = read_vector_dimensions(
        page_of({PdfTextItem{"20", {300, 97.5, 30, 20}}, PdfTextItem{"10", {100, 100, 30, 20}}, {"MM", {0, 0, 9, 9}}}),
        "d");
    ASSERT_EQ(same.response.readings.size(), 2u);
    EXPECT_EQ(same.response.readings[0].value, 10.0);
    EXPECT_EQ(same.response.readings[1].constraint_id, "vector_2");
    EXPECT_EQ(apart.response.readings[0].value, 20.0);
    EXPECT_TRUE(same.millimeter_evidence);
    EXPECT_TRUE(same.response.errors.empty());

    // A metric thread is itself millimetre evidence.
    const VectorDimensionResult mixed = read_vector_dimensions(
        page_of({{"M6X1", {10, 10, 40, 20}}, {"A-A", {10, 50, 40, 20}}, {"10\xC2\xB1" "0.1", {10, 90, 40, 20}}}), "d");
    EXPECT_EQ(mixed.response.errors,
              (std::vector<std::string>{
                  "unsupported vector dimension 'M6X1': metric thread classified but construction is metadata-only",
                  "unsupported vector dimension '10\xC2\xB1" "0.1': tolerance classified but DimensionGraph v0 "
                  "cannot preserve tolerance semantics",
                  "no supported vector dimension text was found"}));
    EXPECT_EQ(mixed.classifications.size(), 3u);
    EXPECT_EQ(mixed.response.drawing_id, "d");
}

TEST(VectorText, PageLevelMillimeterEvidence) {
    struct Case {
        const char* name;
        std::vector<PdfTextItem> notes;
        bool evidence;
    };
    const std::vector<Case> cases = {
        {"word", {{"MILLIMETERS", {100, 800, 200, 30}}}, true},
        {"british word", {{"MILLIMETRES", {100, 800, 200, 30}}}, false},
        {"iso note", {{"ISO 2768-mK", {100, 800, 200, 30}}}, true},
        {"iso split", {{"ISO", {100, 800, 50, 30}}, {"2768-mK", {160, 800, 90, 30}}}, true},
        {"iso no grade", {{"ISO 2768", {100, 800, 200, 30}}}, false},
        {"metric note", {{"DIMENSIONS", {100, 800, 200, 30}}, {"METRIC", {320, 802, 120, 30}}}, true},
        {"metric letters", {{"DIMEN", {100, 800, 100, 30}}, {"SIONS:", {203, 800, 100, 30}}, {"METRIC", {320, 800, 120, 30}}},
         true},
        {"metric too high", {{"DIMENSIONS", {100, 500, 200, 30}}, {"METRIC", {320, 500, 120, 30}}}, false},
        {"metric reversed", {{"METRIC", {100, 800, 120, 30}}, {"DIMENSIONS", {240, 800, 200, 30}}}, false},
        {"paired inch", {{"[1.000]", {100, 140, 60, 20}}}, true},
        {"unpaired inch", {{"[2.000]", {100, 140, 60, 20}}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<PdfTextItem> texts = {{"25.4", {100, 100, 50, 20}}};
        texts.insert(texts.end(), c.notes.begin(), c.notes.end());
        const VectorDimensionResult result = read_vector_dimensions(page_of(texts), "d");
        EXPECT_EQ(result.millimeter_evidence, c.evidence);
        EXPECT_EQ(result.response.readings.size(), 1u);
    }
    EXPECT_TRUE(inch_matches_mm(25.4, 1.0));
    EXPECT_FALSE(inch_matches_mm(26.0, 1.0));
    EXPECT_EQ(normalize_dimension_text("a b\tc\r\nØ"), "ABCØ");
}

TEST(VectorText, GeneratedPlateReadsAndBinds) {
    test::TempDir dir("vesk-vector");
    const std::filesystem::path pdf = dir.path() / "plate.pdf";
    test::write_pdf_file(pdf, test::plate_pdf());
    const VectorDimensionResult result = read_pdf_vector_dimensions(pdf, 0, 300.0, "plate-01");
    EXPECT_EQ(result.width_px, 1200);
    EXPECT_EQ(result.height_px, 900);
    EXPECT_TRUE(result.millimeter_evidence);
    EXPECT_TRUE(result.response.errors.empty());
    std::vector<double> values;
    std::vector<SourceBox> slots;
    for (const DimensionReading& r : result.response.readings) {
        values.push_back(*r.value);
        slots.push_back(r.source_bbox);
    }
    EXPECT_EQ(values, test::plate_pdf_values());
    EXPECT_GE(result.total_elapsed_ms, result.elapsed_ms);

    const PdfRasterResult raster = render_pdf_page(pdf, 0, 300.0, dir.path() / "preview.png");
    const BindingResult bound = bind_readings_to_raster_with_options(
        raster.output, 300.0, dir.path() / "normalized.png", result.response, 1, slots);
    EXPECT_EQ(bound.binding_errors, std::vector<std::string>{});
    ASSERT_TRUE(bound.bound_graph);
    EXPECT_EQ(bound.bound_graph->constraints.size(), 8u);
    EXPECT_EQ(bound.raster.extraction.annotation_slots.size(), 8u);

    // A drafting program's one-glyph-per-operator number reads as one value.
    test::PdfSpec split;
    split.pages[0].labels = {test::PdfLabel{"12.5", 100, 100, 8, 0, true}, test::PdfLabel{"DIMENSIONS IN MM", 100, 40}};
    test::write_pdf_file(dir.path() / "split.pdf", split);
    const VectorDimensionResult runs = read_pdf_vector_dimensions(dir.path() / "split.pdf", 0, 300.0, "split");
    EXPECT_EQ(runs.page.text_objects, 5u);
    ASSERT_EQ(runs.response.readings.size(), 1u);
    EXPECT_EQ(runs.response.readings[0].value, 12.5);
    EXPECT_TRUE(runs.millimeter_evidence);
}

}  // namespace
}  // namespace vesk
