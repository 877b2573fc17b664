#include "intake/vector_dimensions.hpp"
#include "intake/vector_dimensions_internal.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <numeric>
#include <utility>

namespace vesk {
namespace {

using Clock = std::chrono::steady_clock;

// Centres closer than this many pixels share a row (or a column of the vertical pass).
constexpr double kReadingRowTolerancePx = 2.0;

constexpr std::string_view kDiameterSign = "\xC3\x98";        // Ø
constexpr std::string_view kDiameterSymbol = "\xE2\x8C\x80";  // ⌀
constexpr std::string_view kPlusMinus = "\xC2\xB1";           // ±
constexpr double kInchMm = 25.4;

// Run building: gap limits and centre alignment as shares of the glyph height.
constexpr double kRunGapMin = -0.15;
constexpr double kRunGapMax = 0.45;
constexpr double kRunCentreShare = 0.55;
// Paired inch values and the metric note: distances as shares of dpi or height.
constexpr double kPairDistanceDpi = 0.3;
constexpr double kPairCentreShare = 0.75;
constexpr double kWordGapDpi = 0.35;
constexpr double kWordPairGapDpi = 1.25;
constexpr double kNoteRegionShare = 0.75;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_separator(char c) { return c == '.' || c == ','; }
bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}
bool contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }

double centre_x(const SourceBox& b) { return b.x + b.width * 0.5; }
double centre_y(const SourceBox& b) { return b.y + b.height * 0.5; }
double right(const SourceBox& b) { return b.x + b.width; }
double bottom(const SourceBox& b) { return b.y + b.height; }

SourceBox box_union(const SourceBox& a, const SourceBox& b) {
    const double x0 = std::min(a.x, b.x);
    const double y0 = std::min(a.y, b.y);
    return SourceBox{x0, y0, std::max(right(a), right(b)) - x0, std::max(bottom(a), bottom(b)) - y0};
}

std::string_view trim(std::string_view s) {
    constexpr std::string_view kBlank = " \t\r\n";
    const std::size_t first = s.find_first_not_of(kBlank);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kBlank) - first + 1);
}

// Indices grouped into rows by row_key (a row holds the items within the tolerance of its
// first key), rows ascending, each row by within_key and then by index. A chain rule
// ("neighbours within 2 px") is not transitive; anchoring each row on its first key is,
// so the order does not depend on how a sort arranged near-equal keys.
template <typename RowKey, typename WithinKey>
std::vector<std::size_t> order_in_rows(std::size_t n, RowKey row_key, WithinKey within_key) {
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return row_key(a) < row_key(b); });
    std::size_t row_start = 0;
    for (std::size_t i = 0; i <= n; ++i) {
        if (i < n && row_key(order[i]) - row_key(order[row_start]) <= kReadingRowTolerancePx) continue;
        std::sort(order.begin() + static_cast<std::ptrdiff_t>(row_start), order.begin() + static_cast<std::ptrdiff_t>(i),
                  [&](std::size_t a, std::size_t b) {
                      const double ka = within_key(a);
                      const double kb = within_key(b);
                      return ka != kb ? ka < kb : a < b;
                  });
        row_start = i;
    }
    return order;
}

// Indices in reading order: rows of boxes whose vertical centres lie within
// kReadingRowTolerancePx of the row's first (lowest) centre, top row first; in a row by
// horizontal centre, then by index. Rows depend only on the set of centres.
std::vector<std::size_t> reading_order(const std::vector<SourceBox>& boxes) {
    return order_in_rows(
        boxes.size(), [&](std::size_t i) { return centre_y(boxes[i]); },
        [&](std::size_t i) { return centre_x(boxes[i]); });
}

// A leading decimal number: the longest prefix of digits and separators.
std::size_t number_prefix(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (is_digit(s[i]) || is_separator(s[i]))) ++i;
    return i;
}

struct Tolerance {
    double nominal = 0.0;
    bool deviations = false;
};

// A decimal number, then nothing or one or two deviations ("+" or "-" and a smaller number
// with a decimal separator), then the end.
std::optional<Tolerance> parse_number_with_tolerance(std::string_view s) {
    const std::size_t n = number_prefix(s);
    const std::optional<double> nominal = parse_decimal(s.substr(0, n));
    if (!nominal) return std::nullopt;
    Tolerance result{*nominal, false};
    std::string_view rest = s.substr(n);
    for (int k = 0; k < 2 && !rest.empty(); ++k) {
        if (rest[0] != '+' && rest[0] != '-') return std::nullopt;
        rest.remove_prefix(1);
        const std::size_t m = number_prefix(rest);
        const std::string_view deviation = rest.substr(0, m);
        const std::optional<double> value = parse_decimal(deviation);
        if (deviation.find_first_of(".,") == std::string_view::npos || !value || !(*value < *nominal)) {
            return std::nullopt;
        }
        result.deviations = true;
        rest.remove_prefix(m);
    }
    if (!rest.empty()) return std::nullopt;
    return result;
}

// Strips a diameter mark; true when there was one.
bool strip_diameter(std::string_view& s) {
    for (const std::string_view mark : {kDiameterSign, kDiameterSymbol}) {
        if (starts_with(s, mark)) {
            s.remove_prefix(mark.size());
            return true;
        }
    }
    return false;
}

struct SuffixForm {
    VectorTextClass text_class;
    double value;
};

std::optional<SuffixForm> parse_millimeter_suffix(std::string_view t) {
    if (t.size() < 3 || !ends_with(t, "MM")) return std::nullopt;
    std::string_view rest = t.substr(0, t.size() - 2);
    VectorTextClass text_class = VectorTextClass::linear;
    if (strip_diameter(rest)) {
        text_class = VectorTextClass::diameter;
    } else if (starts_with(rest, "DIA")) {
        rest.remove_prefix(3);
        text_class = VectorTextClass::diameter;
    } else if (starts_with(rest, "R")) {
        rest.remove_prefix(1);
        text_class = VectorTextClass::radius;
    }
    const std::optional<Tolerance> number = parse_number_with_tolerance(rest);
    if (!number || number->deviations) return std::nullopt;
    return SuffixForm{text_class, number->nominal};
}

// "Ø10H7": a diameter mark, a number, a letter and a grade of 1 to 18.
std::optional<double> parse_iso_fit_diameter(std::string_view t) {
    if (!strip_diameter(t)) return std::nullopt;
    const std::size_t n = number_prefix(t);
    const std::optional<double> nominal = parse_decimal(t.substr(0, n));
    const std::string_view fit = t.substr(n);
    if (!nominal || fit.size() < 2 || fit.size() > 3 || !is_upper(fit[0])) return std::nullopt;
    int grade = 0;
    for (const char c : fit.substr(1)) {
        if (!is_digit(c)) return std::nullopt;
        grade = grade * 10 + (c - '0');
    }
    if (grade < 1 || grade > 18) return std::nullopt;
    return nominal;
}

enum class Unit { none, millimeter, inch };

struct BracketPart {
    std::optional<double> value;
    bool diameter = false;
    bool radius = false;
    Unit unit = Unit::none;
};

BracketPart parse_bracket_part(std::string_view s) {
    while (!s.empty() && (s[0] == '[' || s[0] == '(')) s.remove_prefix(1);
    BracketPart part;
    if (strip_diameter(s)) {
        part.diameter = true;
    } else if (starts_with(s, "R")) {
        part.radius = true;
        s.remove_prefix(1);
    }
    const std::size_t n = number_prefix(s);
    part.value = parse_decimal(s.substr(0, n));
    const std::string_view unit = s.substr(n);
    if (starts_with(unit, "MM")) {
        part.unit = Unit::millimeter;
    } else if (starts_with(unit, "IN") || starts_with(unit, "\"")) {
        part.unit = Unit::inch;
    }
    return part;
}

struct DualUnitForm {
    VectorTextClass text_class;
    double value;
};

std::optional<DualUnitForm> parse_dual_unit(std::string_view t) {
    const std::size_t bracket = t.find('[');
    if (bracket == std::string_view::npos) return std::nullopt;
    const BracketPart l = parse_bracket_part(t.substr(0, bracket));
    const BracketPart r = parse_bracket_part(t.substr(bracket + 1));
    if (!r.value) return std::nullopt;
    std::optional<double> value;
    if (l.value) {
        const double lv = *l.value;
        const double rv = *r.value;
        if (l.unit == Unit::millimeter && r.unit == Unit::inch && inch_matches_mm(lv, rv)) {
            value = lv;
        } else if (l.unit == Unit::inch && inch_matches_mm(rv, lv)) {
            value = rv;
        } else if (r.unit == Unit::inch && inch_matches_mm(lv, rv)) {
            value = lv;
        } else if (inch_matches_mm(std::max(lv, rv), std::min(lv, rv))) {
            value = std::max(lv, rv);
        }
    } else if (r.unit == Unit::millimeter) {
        value = r.value;
    }
    if (!value) return std::nullopt;
    const VectorTextClass text_class = l.diameter || r.diameter ? VectorTextClass::diameter
                                       : l.radius || r.radius   ? VectorTextClass::radius
                                                                : VectorTextClass::linear;
    return DualUnitForm{text_class, *value};
}

// "M6X1", "M10X1.5THRU": diameter and pitch, pitch below diameter.
std::optional<double> parse_metric_thread(std::string_view s) {
    if (s.size() < 4 || s[0] != 'M') return std::nullopt;
    const std::size_t x = s.find('X', 2);
    if (x == std::string_view::npos) return std::nullopt;
    const std::optional<double> diameter = parse_decimal(s.substr(1, x - 1));
    const std::string_view after = s.substr(x + 1);
    const std::size_t n = number_prefix(after);
    const std::optional<double> pitch = parse_decimal(after.substr(0, n));
    if (!diameter || !pitch || !(*pitch < *diameter)) return std::nullopt;
    const std::string_view rest = after.substr(n);
    if (!rest.empty() && rest != "THRU" && rest != "THROUGH" && rest != "THRUHOLE" && rest != "THROUGHHOLE") {
        return std::nullopt;
    }
    return diameter;
}

std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), std::size_t{0});
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

bool is_millimeter_word(std::string_view t) {
    while (!t.empty() && (t.front() == '(' || t.front() == '[' || t.front() == '{')) t.remove_prefix(1);
    while (!t.empty() && std::string_view(")],:;.}").find(t.back()) != std::string_view::npos) t.remove_suffix(1);
    if (t.size() < 8 || t.size() > 13 || !starts_with(t, "MIL") || t.find('M', 1) == std::string_view::npos ||
        !ends_with(t, "ERS")) {
        return false;
    }
    return edit_distance(t, "MILLIMETERS") < 5 || edit_distance(t, "MILLIMETRES") < 5;
}

bool has_millimeter_unit_note(std::string_view t) {
    if (t == "MM") return true;
    for (const std::string_view note :
         {"UNITS:MM", "UNIT:MM", "DIMENSIONSAREINMM", "DIMENSIONSINMM", "BEMASSUNGENSINDINMILLIMETER"}) {
        if (contains(t, note)) return true;
    }
    if (is_millimeter_word(t)) return true;
    for (std::size_t at = t.find("MM", 1); at != std::string_view::npos; at = t.find("MM", at + 1)) {
        if (is_digit(t[at - 1]) || t[at - 1] == '.') return true;
    }
    return false;
}

// Gap between two boxes along one axis; 0 when they overlap.
double axis_gap(double a0, double a1, double b0, double b1) { return std::max({b0 - a1, a0 - b1, 0.0}); }

// M1: a bindable value and a bracketed inch value beside it that agree.
bool has_paired_inch_values(const std::vector<PdfTextItem>& texts,
                            const std::vector<VectorTextClassification>& classes, double dpi) {
    std::vector<std::pair<std::size_t, double>> inches;
    for (std::size_t j = 0; j < texts.size(); ++j) {
        const std::string t = normalize_dimension_text(texts[j].text);
        if (!starts_with(t, "[")) continue;
        const BracketPart part = parse_bracket_part(t);
        if (part.value) inches.emplace_back(j, *part.value);
    }
    for (std::size_t i = 0; i < texts.size() && !inches.empty(); ++i) {
        if (!classes[i].bindable || !classes[i].value) continue;
        const SourceBox& a = texts[i].bbox;
        for (const auto& [j, inch] : inches) {
            if (j == i || !inch_matches_mm(*classes[i].value, inch)) continue;
            const SourceBox& b = texts[j].bbox;
            const bool side_by_side = axis_gap(a.x, right(a), b.x, right(b)) <= kPairDistanceDpi * dpi &&
                                      std::fabs(centre_y(a) - centre_y(b)) <=
                                          kPairCentreShare * std::max(a.height, b.height);
            const bool stacked = axis_gap(a.y, bottom(a), b.y, bottom(b)) <= kPairDistanceDpi * dpi &&
                                 std::fabs(centre_x(a) - centre_x(b)) <= kPairCentreShare * std::max(a.width, b.width);
            if (side_by_side || stacked) return true;
        }
    }
    return false;
}

// M2: a general-tolerance note "ISO 2768-mK", whole or split over two items.
bool has_iso_2768_note(const std::vector<PdfTextItem>& texts) {
    bool iso = false;
    bool grade = false;
    for (const PdfTextItem& item : texts) {
        const std::string t = normalize_dimension_text(item.text);
        const std::size_t at = t.find("ISO2768-");
        if (at != std::string::npos) {
            const std::string_view letters = std::string_view(t).substr(at + 8);
            if (!letters.empty() && letters.size() <= 2 && std::all_of(letters.begin(), letters.end(), is_upper)) {
                return true;
            }
        }
        iso = iso || t == "ISO" || starts_with(t, "ISO2768");
        grade = grade || starts_with(t, "2768-") || starts_with(t, "ISO2768-");
    }
    return iso && grade;
}

// Boxes of every assembly of word from letter items in the lowest quarter of the page.
std::vector<SourceBox> find_word(const std::vector<PdfTextItem>& texts, std::string_view word, double dpi,
                                 double height_px) {
    struct Letters {
        std::string text;
        SourceBox box;
    };
    std::vector<Letters> items;
    for (const PdfTextItem& item : texts) {
        if (centre_y(item.bbox) < kNoteRegionShare * height_px) continue;
        std::string t = normalize_dimension_text(item.text);
        if (!t.empty() && t.back() == ':') t.pop_back();
        if (t.empty() || !std::all_of(t.begin(), t.end(), is_upper)) continue;
        items.push_back(Letters{std::move(t), item.bbox});
    }
    // By left edge, so that each step looks only at the items its gap limit allows.
    std::stable_sort(items.begin(), items.end(), [](const Letters& a, const Letters& b) { return a.box.x < b.box.x; });
    double tallest = 0.0;
    for (const Letters& item : items) tallest = std::max(tallest, item.box.height);

    std::vector<SourceBox> found;
    for (std::size_t start = 0; start < items.size(); ++start) {
        if (!starts_with(word, items[start].text)) continue;
        std::string joined = items[start].text;
        SourceBox current = items[start].box;
        SourceBox whole = current;
        std::vector<std::size_t> chain = {start};
        while (joined != word) {
            const double reach = std::max(tallest, current.height) * 0.15;
            auto first = std::lower_bound(items.begin(), items.end(), right(current) - reach,
                                          [](const Letters& item, double x) { return item.box.x < x; });
            std::optional<std::size_t> nearest;
            double nearest_gap = 0.0;
            for (auto it = first; it != items.end() && it->box.x <= right(current) + kWordGapDpi * dpi; ++it) {
                const std::size_t k = static_cast<std::size_t>(it - items.begin());
                if (std::find(chain.begin(), chain.end(), k) != chain.end()) continue;
                const double larger = std::max(current.height, it->box.height);
                const double gap = it->box.x - right(current);
                if (gap < -0.15 * larger || gap > kWordGapDpi * dpi ||
                    std::fabs(centre_y(it->box) - centre_y(current)) > kPairCentreShare * larger) {
                    continue;
                }
                if (!nearest || gap < nearest_gap) {
                    nearest = k;
                    nearest_gap = gap;
                }
            }
            if (!nearest || !starts_with(word, joined + items[*nearest].text)) break;
            joined += items[*nearest].text;
            current = items[*nearest].box;
            whole = box_union(whole, current);
            chain.push_back(*nearest);
        }
        if (joined == word) found.push_back(whole);
    }
    return found;
}

// M3: "DIMENSIONS" and "METRIC" side by side near the foot of the page.
bool has_metric_note(const std::vector<PdfTextItem>& texts, double dpi, double height_px) {
    const std::vector<SourceBox> dimensions = find_word(texts, "DIMENSIONS", dpi, height_px);
    if (dimensions.empty()) return false;
    for (const SourceBox& m : find_word(texts, "METRIC", dpi, height_px)) {
        for (const SourceBox& d : dimensions) {
            const double gap = m.x - right(d);
            if (m.x > d.x && gap >= 0.0 && gap <= kWordPairGapDpi * dpi &&
                std::fabs(centre_y(m) - centre_y(d)) <= kPairCentreShare * std::max(m.height, d.height)) {
                return true;
            }
        }
    }
    return false;
}

VectorTextClassification classified(std::string text, VectorTextClass text_class, std::optional<double> value,
                                    bool bindable, std::string message, const SourceBox& bbox) {
    return VectorTextClassification{std::move(text), text_class, value, bindable, std::move(message), bbox};
}

}  // namespace

std::string normalize_dimension_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        const auto byte = static_cast<unsigned char>(c);
        out += byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 'a' + 'A') : c;
    }
    return out;
}

std::optional<double> parse_decimal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::size_t points = 0;
    std::size_t commas = 0;
    for (const char c : text) {
        if (c == '.') {
            ++points;
        } else if (c == ',') {
            ++commas;
        } else if (!is_digit(c)) {
            return std::nullopt;
        }
    }
    std::string number(text);
    if (commas > 0) {
        const std::size_t at = number.find(',');
        if (commas > 1 || points > 0 || at == 0 || at + 1 == number.size() || !is_digit(number[at - 1]) ||
            !is_digit(number[at + 1])) {
            return std::nullopt;
        }
        number[at] = '.';
    } else if (points > 1) {
        return std::nullopt;
    }
    double value = 0.0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
    if (!std::isfinite(value) || !(value > 0.0)) return std::nullopt;
    return value;
}

bool inch_matches_mm(double mm, double inch) {
    if (!std::isfinite(mm) || !std::isfinite(inch) || !(mm > 0.0) || !(inch > 0.0)) return false;
    return std::fabs(mm - inch * kInchMm) <= std::max(0.015, 0.015 * mm);
}

bool has_millimeter_unit_evidence(std::string_view text) {
    const std::string t = normalize_dimension_text(text);
    return has_millimeter_unit_note(t) || parse_dual_unit(t) || parse_iso_fit_diameter(t) ||
           parse_metric_thread(trim(text));
}

VectorTextClassification classify_vector_text(std::string_view text, const SourceBox& bbox) {
    const std::string trimmed(trim(text));
    const std::string t = normalize_dimension_text(trimmed);
    using C = VectorTextClass;
    if (t.empty()) return classified(trimmed, C::not_dimension, std::nullopt, false, "empty text object", bbox);
    if (const auto form = parse_dual_unit(t)) {
        return classified(trimmed, form->text_class, form->value, true,
                          "bracketed dual-unit conversion verified at 25.4 millimeters per inch", bbox);
    }
    if (const auto form = parse_millimeter_suffix(t)) {
        return classified(trimmed, form->text_class, form->value, true, "explicit millimeter suffix", bbox);
    }
    if (const auto nominal = parse_iso_fit_diameter(t)) {
        return classified(trimmed, C::diameter, nominal, true,
                          "ISO fit nominal diameter; tolerance class is not scored", bbox);
    }
    std::string_view rest = t;
    if (strip_diameter(rest)) {
        std::string number(rest);
        if (!number.empty() && number.find_first_not_of("0123456789O+,-.") == std::string::npos) {
            std::replace(number.begin(), number.end(), 'O', '0');
        }
        const std::optional<Tolerance> value = parse_number_with_tolerance(number);
        if (!value) return classified(trimmed, C::not_dimension, std::nullopt, false, "invalid diameter notation", bbox);
        return classified(trimmed, C::diameter, value->nominal, !value->deviations,
                          value->deviations
                              ? "diameter tolerance classified but DimensionGraph v0 cannot preserve tolerance semantics"
                              : "exact diameter notation",
                          bbox);
    }
    if (starts_with(t, "DIA")) {
        const std::optional<double> value = parse_decimal(std::string_view(t).substr(3));
        if (!value) return classified(trimmed, C::not_dimension, std::nullopt, false, "invalid diameter notation", bbox);
        return classified(trimmed, C::diameter, value, true, "exact diameter notation", bbox);
    }
    if (const std::size_t at = t.find(kPlusMinus); at != std::string::npos) {
        const std::optional<double> nominal = parse_decimal(std::string_view(t).substr(0, at));
        const std::optional<double> band = parse_decimal(std::string_view(t).substr(at + kPlusMinus.size()));
        if (!nominal || !band) {
            return classified(trimmed, C::not_dimension, std::nullopt, false, "invalid tolerance notation", bbox);
        }
        return classified(trimmed, C::tolerance, nominal, false,
                          "tolerance classified but DimensionGraph v0 cannot preserve tolerance semantics", bbox);
    }
    if (starts_with(t, "R")) {
        const std::optional<double> value = parse_decimal(std::string_view(t).substr(1));
        if (!value) return classified(trimmed, C::not_dimension, std::nullopt, false, "invalid radius notation", bbox);
        return classified(trimmed, C::radius, value, true, "exact radius notation", bbox);
    }
    if (starts_with(t, "M")) {
        std::optional<double> value = parse_metric_thread(trimmed);
        if (!value) value = parse_decimal(std::string_view(t).substr(1));
        if (!value) return classified(trimmed, C::not_dimension, std::nullopt, false, "invalid thread notation", bbox);
        return classified(trimmed, C::thread, value, false, "metric thread classified but construction is metadata-only",
                          bbox);
    }
    if (const auto value = parse_number_with_tolerance(t); value && value->deviations) {
        return classified(trimmed, C::tolerance, value->nominal, false,
                          "asymmetric tolerance classified but DimensionGraph v0 cannot preserve tolerance semantics",
                          bbox);
    }
    if (const auto value = parse_decimal(t)) {
        return classified(trimmed, C::linear, value, true, "exact numeric notation", bbox);
    }
    return classified(trimmed, C::not_dimension, std::nullopt, false, "title block or note text", bbox);
}

void build_text_runs(PdfPageVectors& page, bool vertical) {
    std::vector<PdfTextItem>& items = page.texts;
    const std::size_t n = items.size();
    std::vector<std::string> normal(n);
    std::vector<std::size_t> fragments;  // by the edge a run reaches them from (see below)
    double tallest = 0.0;                // height (horizontal) or width (vertical)
    for (std::size_t i = 0; i < n; ++i) {
        normal[i] = normalize_dimension_text(items[i].text);
        if (normal[i].size() == 1 && (is_digit(normal[i][0]) || is_separator(normal[i][0]))) {
            fragments.push_back(i);
            tallest = std::max(tallest, vertical ? items[i].bbox.width : items[i].bbox.height);
        }
    }
    if (fragments.empty()) return;
    // A horizontal run meets the next glyph's left edge; a vertical one its bottom edge.
    const auto near_edge = [&](std::size_t i) { return vertical ? bottom(items[i].bbox) : items[i].bbox.x; };
    std::stable_sort(fragments.begin(), fragments.end(),
                     [&](std::size_t a, std::size_t b) { return near_edge(a) < near_edge(b); });
    std::vector<double> edges(fragments.size());
    for (std::size_t k = 0; k < fragments.size(); ++k) edges[k] = near_edge(fragments[k]);

    const std::vector<std::size_t> order =
        vertical ? order_in_rows(
                       n, [&](std::size_t i) { return centre_x(items[i].bbox); },
                       [&](std::size_t i) { return -items[i].bbox.y; })
                 : order_in_rows(
                       n, [&](std::size_t i) { return centre_y(items[i].bbox); },
                       [&](std::size_t i) { return items[i].bbox.x; });

    std::vector<char> taken(n, 0);
    std::vector<char> in_run(n, 0);
    std::vector<PdfTextItem> runs;
    for (const std::size_t seed : order) {
        if (taken[seed] || normal[seed].size() != 1 || !is_digit(normal[seed][0])) continue;
        std::vector<std::size_t> members = {seed};
        in_run[seed] = 1;
        std::string text = normal[seed];
        SourceBox box = items[seed].bbox;
        double cursor = vertical ? box.y : right(box);
        for (;;) {
            // Only fragments whose near edge lies within the widest gap limits can qualify;
            // the same smallest gap (first index on ties) as a scan of every fragment.
            const double size = std::max(tallest, vertical ? box.width : box.height);
            const double low = vertical ? cursor - kRunGapMax * size : cursor + kRunGapMin * size;
            const double high = vertical ? cursor - kRunGapMin * size : cursor + kRunGapMax * size;
            std::optional<std::size_t> best;
            double best_gap = 0.0;
            for (auto k = static_cast<std::size_t>(std::lower_bound(edges.begin(), edges.end(), low) - edges.begin());
                 k < edges.size() && edges[k] <= high; ++k) {
                const std::size_t c = fragments[k];
                if (taken[c] || in_run[c]) continue;
                const SourceBox& cb = items[c].bbox;
                const double h = vertical ? std::max(cb.width, box.width) : std::max(cb.height, box.height);
                double gap = 0.0;
                if (vertical) {
                    if (!(cb.y < cursor)) continue;
                    gap = cursor - bottom(cb);
                    if (std::fabs(centre_x(box) - centre_x(cb)) > kRunCentreShare * h) continue;
                } else {
                    if (!(cb.x > box.x)) continue;
                    gap = cb.x - cursor;
                    if (std::fabs(centre_y(box) - centre_y(cb)) > kRunCentreShare * h) continue;
                }
                if (gap < kRunGapMin * h || gap > kRunGapMax * h) continue;
                if (!best || gap < best_gap || (gap == best_gap && c < *best)) {
                    best = c;
                    best_gap = gap;
                }
            }
            if (!best) break;
            members.push_back(*best);
            in_run[*best] = 1;
            text += normal[*best];
            box = box_union(box, items[*best].bbox);
            cursor = vertical ? items[*best].bbox.y : right(items[*best].bbox);
        }
        for (const std::size_t m : members) in_run[m] = 0;
        if (members.size() >= 2 && parse_decimal(text)) {
            for (const std::size_t m : members) taken[m] = 1;
            runs.push_back(PdfTextItem{std::move(text), box});
        }
    }
    if (runs.empty()) return;
    for (std::size_t i = 0; i < n; ++i) {
        if (!taken[i]) runs.push_back(std::move(items[i]));
    }
    items = std::move(runs);
}

VectorDimensionResult read_vector_dimensions(PdfPageVectors&& page, const std::string& drawing_id) {
    const Clock::time_point start = Clock::now();
    const bool metric_note = has_metric_note(page.texts, page.dpi, static_cast<double>(page.height_px));
    build_text_runs(page, false);
    build_text_runs(page, true);

    VectorDimensionResult result;
    bool evidence = false;
    std::vector<VectorTextClassification> classes;
    classes.reserve(page.texts.size());
    for (const PdfTextItem& item : page.texts) {
        if (!evidence) evidence = has_millimeter_unit_evidence(item.text);
        classes.push_back(classify_vector_text(item.text, item.bbox));
    }
    if (!evidence) {
        evidence = has_paired_inch_values(page.texts, classes, page.dpi) || has_iso_2768_note(page.texts) ||
                   metric_note;
    }

    std::vector<SourceBox> boxes;
    boxes.reserve(classes.size());
    for (const VectorTextClassification& c : classes) boxes.push_back(c.bbox);
    result.response.drawing_id = drawing_id;
    for (const std::size_t i : reading_order(boxes)) {
        const VectorTextClassification& c = classes[i];
        if (c.bindable) {
            DimensionReading reading;
            reading.constraint_id = "vector_" + std::to_string(result.response.readings.size() + 1);
            reading.value = c.value;
            reading.confidence = 1.0;
            reading.origin = ReadingOrigin::source_text;
            reading.source_bbox = c.bbox;
            result.response.readings.push_back(std::move(reading));
        } else if (c.text_class == VectorTextClass::thread || c.text_class == VectorTextClass::tolerance) {
            result.response.errors.push_back("unsupported vector dimension '" + c.text + "': " + c.message);
        }
        result.classifications.push_back(c);
    }
    if (!evidence) result.response.errors.emplace_back("vector text did not provide explicit millimeter unit evidence");
    if (result.response.readings.empty()) {
        result.response.errors.emplace_back("no supported vector dimension text was found");
    }
    result.millimeter_evidence = evidence;
    result.page = page.page;
    result.width_px = page.width_px;
    result.height_px = page.height_px;
    result.dpi = page.dpi;
    result.elapsed_ms = page.elapsed_ms;
    result.texts = std::move(page.texts);
    result.segments = std::move(page.segments);
    result.total_elapsed_ms =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count() + result.elapsed_ms;
    return result;
}

VectorDimensionResult read_pdf_vector_dimensions(const std::filesystem::path& path, std::int32_t page_index,
                                                 double dpi, const std::string& drawing_id) {
    return read_vector_dimensions(extract_pdf_page_vectors(path, page_index, dpi), drawing_id);
}

}  // namespace vesk
