// The PDF engine on Poppler's core library. Every Poppler include of the program is in
// this file: its API is private to Poppler and changes between versions.
#include "intake/pdf_engine.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <poppler/Error.h>
#include <poppler/ErrorCodes.h>
#include <poppler/GfxFont.h>
#include <poppler/GfxState.h>
#include <poppler/GlobalParams.h>
#include <poppler/OutputDev.h>
#include <poppler/PDFDoc.h>
#include <poppler/Page.h>
#include <poppler/SplashOutputDev.h>
#include <poppler/Stream.h>
#include <poppler/splash/SplashBitmap.h>

namespace vesk::pdf_engine {
namespace {

// Glyphs of one page, walked or rendered; a single string operator can be long.
constexpr std::uint64_t kMaxPageGlyphs = 4'000'000;

void silent_error(ErrorCategory, Goffset, const char*) {}

void ensure_engine_initialized() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Fonts not embedded in a file are substituted through fontconfig (DejaVu on Debian).
        if (!globalParams) globalParams = std::make_unique<GlobalParams>();
        setErrorCallback(silent_error);
    });
}

// What a page may cost; shared by the walk and the renderer through the abort check.
struct PageBudget {
    int page = 0;
    std::uint64_t segments = 0;
    std::uint64_t glyphs = 0;
    std::uint64_t checks = 0;
    int depth = 0;
    std::vector<int> forms;  // object numbers of the forms being drawn
    std::string refusal;     // set once; the engine is then told to stop

    void refuse(const std::string& reason) {
        if (refusal.empty()) refusal = "PDF page " + std::to_string(page) + " " + reason;
    }
    bool add_segments(std::uint64_t n) {
        segments += n;
        if (segments > kMaxPageSegments) {
            refuse("holds more than " + std::to_string(kMaxPageSegments) + " path segments");
        }
        return refusal.empty();
    }
    bool add_glyph() {
        if (++glyphs > kMaxPageGlyphs) refuse("holds more than " + std::to_string(kMaxPageGlyphs) + " glyphs");
        return refusal.empty();
    }
    // False when the form must not be drawn (the engine still calls endForm).
    bool enter_form(Ref id) {
        if (std::find(forms.begin(), forms.end(), id.num) != forms.end()) refuse("draws a form inside itself");
        if (depth >= kMaxFormNesting) {
            refuse("nests forms deeper than " + std::to_string(kMaxFormNesting));
        }
        forms.push_back(id.num);
        ++depth;
        return refusal.empty();
    }
    void leave_form() {
        if (depth > 0) --depth;
        if (!forms.empty()) forms.pop_back();
    }
    void throw_if_refused() const {
        if (!refusal.empty()) throw std::invalid_argument(refusal);
    }
};

bool abort_check(void* data) {
    auto* budget = static_cast<PageBudget*>(data);
    if (++budget->checks > kMaxAbortChecks) budget->refuse("holds too many drawing operators");
    return !budget->refusal.empty();
}

bool skip_annotations(Annot*, void*) { return false; }

std::uint64_t path_points(const GfxState* state) {
    const GfxPath* path = state->getPath();
    std::uint64_t n = 0;
    for (int i = 0; path != nullptr && i < path->getNumSubpaths(); ++i) {
        n += static_cast<std::uint64_t>(path->getSubpath(i)->getNumPoints());
    }
    return n;
}

// Points of the current path in device space (top-left points at 72 dpi).
std::vector<PathElement> path_elements(GfxState* state) {
    std::vector<PathElement> elements;
    const GfxPath* path = state->getPath();
    if (path == nullptr) return elements;
    for (int i = 0; i < path->getNumSubpaths(); ++i) {
        const GfxSubpath* sub = path->getSubpath(i);
        const int n = sub->getNumPoints();
        int pending_curve = 0;
        for (int j = 0; j < n; ++j) {
            PathElement element;
            if (j == 0) {
                element.type = PathElementType::move_to;
            } else if (sub->getCurve(j) || pending_curve > 0) {
                element.type = PathElementType::bezier_to;
                // Two control points carry the flag; the end point that follows does not.
                pending_curve = sub->getCurve(j) ? pending_curve + 1 : 0;
            } else {
                element.type = PathElementType::line_to;
            }
            state->transform(sub->getX(j), sub->getY(j), &element.point.x, &element.point.y);
            element.close = sub->isClosed() && j == n - 1;
            elements.push_back(element);
        }
    }
    return elements;
}

bool same_elements(const std::vector<PathElement>& a, const std::vector<PathElement>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const PathElement& p, const PathElement& q) {
        return p.type == q.type && p.close == q.close && p.point.x == q.point.x && p.point.y == q.point.y;
    });
}

// Reports the page's drawn objects to the visitor. Nothing is drawn.
class WalkDevice : public OutputDev {
public:
    WalkDevice(PageVisitor& visitor, PageBudget& budget) : visitor_(visitor), budget_(budget) {}

    bool upsideDown() override { return true; }
    bool useDrawChar() override { return true; }
    bool interpretType3Chars() override { return false; }
    bool useShadedFills(int) override { return true; }
    bool useTilingPatternFill() override { return true; }

    void endPage() override { flush(); }

    void beginForm(Ref id) override {
        flush();
        if (!budget_.refusal.empty()) return;
        visitor_.form(budget_.depth);
        budget_.enter_form(id);
    }
    void endForm(Ref) override {
        flush();
        budget_.leave_form();
    }

    void beginStringOp(GfxState* state) override {
        flush();
        in_text_ = true;
        text_ = TextObject{};
        text_.render_mode = state->getRender();
    }
    void endStringOp(GfxState*) override {
        if (in_text_ && budget_.refusal.empty()) visitor_.text(text_, budget_.depth);
        in_text_ = false;
    }
    void drawChar(GfxState* state, double x, double y, double dx, double dy, double, double, CharCode, int,
                  const Unicode* u, int u_len) override {
        if (!in_text_ || !budget_.add_glyph()) return;
        if (u_len <= 0) text_.text.push_back(U'\uFFFD');
        for (int i = 0; i < u_len; ++i) {
            const Unicode c = u[i];
            const bool valid = c != 0 && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
            text_.text.push_back(valid ? static_cast<char32_t>(c) : U'\uFFFD');
        }
        // The glyph's box: from the origin along the advance, and from the font's descent
        // to its ascent across it, in user space; then to the device.
        const GfxFont* font = state->getFont().get();
        const double size = state->getFontSize();
        const double ascent = font != nullptr ? font->getAscent() : 0.95;
        const double descent = font != nullptr ? font->getDescent() : -0.35;
        double ax = 0.0, ay = 0.0, dx0 = 0.0, dy0 = 0.0;
        state->textTransformDelta(0.0, ascent * size, &ax, &ay);
        state->textTransformDelta(0.0, descent * size, &dx0, &dy0);
        const double corners[4][2] = {{x + dx0, y + dy0}, {x + dx + dx0, y + dy + dy0}, {x + ax, y + ay},
                                      {x + dx + ax, y + dy + ay}};
        for (const auto& corner : corners) {
            double px = 0.0, py = 0.0;
            state->transform(corner[0], corner[1], &px, &py);
            if (!std::isfinite(px) || !std::isfinite(py)) continue;
            if (!text_.has_box) {
                text_.has_box = true;
                text_.left = text_.right = px;
                text_.top = text_.bottom = py;
            }
            text_.left = std::min(text_.left, px);
            text_.right = std::max(text_.right, px);
            text_.top = std::min(text_.top, py);
            text_.bottom = std::max(text_.bottom, py);
        }
    }

    // A fill-and-stroke operator arrives as a fill, then a stroke of the same path: the
    // fill waits for one step and merges with that stroke.
    void fill(GfxState* state) override { paint(state, true); }
    void eoFill(GfxState* state) override { paint(state, true); }
    void stroke(GfxState* state) override {
        if (pending_ && pending_path_ == state->getPath()) {
            std::vector<PathElement> elements = path_elements(state);
            if (same_elements(elements, pending_->elements)) {
                pending_->stroked = true;
                flush();
                return;
            }
        }
        paint(state, false);
    }
    void clip(GfxState* state) override { budget_.add_segments(path_points(state)); }
    void eoClip(GfxState* state) override { budget_.add_segments(path_points(state)); }
    void clipToStrokePath(GfxState* state) override { budget_.add_segments(path_points(state)); }

    void drawImageMask(GfxState*, Object*, Stream*, int, int, bool, bool, bool) override { image(); }
    void drawImage(GfxState*, Object*, Stream*, int, int, GfxImageColorMap*, bool, const int*, bool) override {
        image();
    }
    void drawMaskedImage(GfxState*, Object*, Stream*, int, int, GfxImageColorMap*, bool, Stream*, int, int, bool,
                         bool) override {
        image();
    }
    void drawSoftMaskedImage(GfxState*, Object*, Stream*, int, int, GfxImageColorMap*, bool, Stream*, int, int,
                             GfxImageColorMap*, bool) override {
        image();
    }

    bool tilingPatternFill(GfxState*, Gfx*, Catalog*, GfxTilingPattern*, const double*, int, int, int, int, double,
                           double) override {
        return other();
    }
    bool functionShadedFill(GfxState*, GfxFunctionShading*) override { return other(); }
    bool axialShadedFill(GfxState*, GfxAxialShading*, double, double) override { return other(); }
    bool radialShadedFill(GfxState*, GfxRadialShading*, double, double) override { return other(); }
    bool gouraudTriangleShadedFill(GfxState*, GfxGouraudTriangleShading*) override { return other(); }
    bool patchMeshShadedFill(GfxState*, GfxPatchMeshShading*) override { return other(); }

    void flush() {
        if (!pending_) return;
        if (budget_.refusal.empty()) visitor_.path(*pending_, budget_.depth);
        pending_.reset();
        pending_path_ = nullptr;
    }

private:
    void paint(GfxState* state, bool filled) {
        flush();
        if (!budget_.add_segments(path_points(state))) return;
        PathObject object;
        object.elements = path_elements(state);
        object.filled = filled;
        object.stroked = !filled;
        if (filled) {
            pending_ = std::move(object);
            pending_path_ = state->getPath();
        } else {
            visitor_.path(object, budget_.depth);
        }
    }
    void image() {
        flush();
        if (budget_.refusal.empty()) visitor_.image(budget_.depth);
    }
    bool other() {
        flush();
        if (budget_.refusal.empty()) visitor_.other(budget_.depth);
        return true;
    }

    PageVisitor& visitor_;
    PageBudget& budget_;
    bool in_text_ = false;
    TextObject text_;
    std::optional<PathObject> pending_;
    const GfxPath* pending_path_ = nullptr;
};

// Poppler's rasteriser with the page budget in front of it.
class RenderDevice : public SplashOutputDev {
public:
    RenderDevice(SplashColorPtr paper, PageBudget& budget)
        : SplashOutputDev(splashModeRGB8, 4, false, paper), budget_(budget) {}

    void stroke(GfxState* state) override {
        if (budget_.add_segments(path_points(state))) SplashOutputDev::stroke(state);
    }
    void fill(GfxState* state) override {
        if (budget_.add_segments(path_points(state))) SplashOutputDev::fill(state);
    }
    void eoFill(GfxState* state) override {
        if (budget_.add_segments(path_points(state))) SplashOutputDev::eoFill(state);
    }
    void clip(GfxState* state) override {
        if (budget_.add_segments(path_points(state))) SplashOutputDev::clip(state);
    }
    void eoClip(GfxState* state) override {
        if (budget_.add_segments(path_points(state))) SplashOutputDev::eoClip(state);
    }
    void clipToStrokePath(GfxState* state) override {
        if (budget_.add_segments(path_points(state))) SplashOutputDev::clipToStrokePath(state);
    }
    void drawChar(GfxState* state, double x, double y, double dx, double dy, double ox, double oy, CharCode code,
                  int n, const Unicode* u, int u_len) override {
        if (budget_.add_glyph()) SplashOutputDev::drawChar(state, x, y, dx, dy, ox, oy, code, n, u, u_len);
    }
    void beginForm(Ref id) override { budget_.enter_form(id); }
    void endForm(Ref) override { budget_.leave_form(); }

private:
    PageBudget& budget_;
};

class PopplerDocument : public Document {
public:
    explicit PopplerDocument(std::unique_ptr<PDFDoc> doc) : doc_(std::move(doc)) {}

    int page_count() override { return doc_->getNumPages(); }

    PageSize page_size(int index) override {
        Page* page = page_at(index);
        PageSize size{page->getCropWidth(), page->getCropHeight()};
        if (page->getRotate() == 90 || page->getRotate() == 270) std::swap(size.width_pt, size.height_pt);
        return size;
    }

    void walk_page(int index, PageVisitor& visitor) override {
        page_at(index);
        PageBudget budget;
        budget.page = index;
        WalkDevice device(visitor, budget);
        doc_->displayPage(&device, index + 1, 72.0, 72.0, 0, false, true, false, abort_check, &budget,
                          skip_annotations, nullptr);
        device.flush();
        budget.throw_if_refused();
    }

    void render_page(int index, double dpi, int width, int height, const RowSink& sink) override {
        page_at(index);
        PageBudget budget;
        budget.page = index;
        SplashColor paper;
        paper[0] = paper[1] = paper[2] = 0xff;
        RenderDevice device(paper, budget);
        device.startDoc(doc_.get());
        doc_->displayPage(&device, index + 1, dpi, dpi, 0, false, true, true, abort_check, &budget);
        budget.throw_if_refused();
        SplashBitmap* bitmap = device.getBitmap();
        if (bitmap == nullptr || bitmap->getDataPtr() == nullptr || bitmap->getRowSize() < bitmap->getWidth() * 3) {
            throw std::runtime_error("PDF engine could not allocate the page bitmap");
        }
        // The engine rounds the page size its own way; pad with white or crop to the size
        // the caller asked for.
        std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * 4, 0xff);
        const int copy_width = std::min(width, bitmap->getWidth());
        for (int y = 0; y < height; ++y) {
            std::fill(row.begin(), row.end(), std::uint8_t{0xff});
            if (y < bitmap->getHeight()) {
                const std::uint8_t* rgb =
                    bitmap->getDataPtr() + static_cast<std::ptrdiff_t>(y) * bitmap->getRowSize();
                for (int x = 0; x < copy_width; ++x) {
                    row[static_cast<std::size_t>(x) * 4] = rgb[x * 3 + 2];
                    row[static_cast<std::size_t>(x) * 4 + 1] = rgb[x * 3 + 1];
                    row[static_cast<std::size_t>(x) * 4 + 2] = rgb[x * 3];
                }
            }
            sink(y, row.data());
        }
    }

private:
    Page* page_at(int index) {
        Page* page = index >= 0 && index < doc_->getNumPages() ? doc_->getPage(index + 1) : nullptr;
        if (page == nullptr) throw std::invalid_argument("PDF engine could not load page " + std::to_string(index));
        return page;
    }

    std::unique_ptr<PDFDoc> doc_;
};

}  // namespace

std::unique_ptr<Document> load_document(const std::string& bytes, int& error_code) {
    ensure_engine_initialized();
    error_code = 0;
    // The stream reads the caller's bytes in place; the document owns the stream.
    auto* stream = new MemStream(bytes.data(), 0, static_cast<Goffset>(bytes.size()), Object(objNull));
    auto doc = std::make_unique<PDFDoc>(stream);
    if (!doc->isOk()) {
        error_code = doc->getErrorCode() == errEncrypted ? kErrorPassword : kErrorFormat;
        return nullptr;
    }
    return std::make_unique<PopplerDocument>(std::move(doc));
}

}  // namespace vesk::pdf_engine
