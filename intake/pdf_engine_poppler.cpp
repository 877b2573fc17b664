// The PDF engine on Poppler's core library. Every Poppler include of the program is in
// this file: its API is private to Poppler and changes between versions.
#include "intake/pdf_engine.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <poppler/Annot.h>
#include <poppler/Error.h>
#include <poppler/ErrorCodes.h>
#include <poppler/Gfx.h>
#include <poppler/GfxFont.h>
#include <poppler/GfxState.h>
#include <poppler/GlobalParams.h>
#include <poppler/OutputDev.h>
#include <poppler/PDFDoc.h>
#include <poppler/Page.h>
#include <poppler/SplashOutputDev.h>
#include <poppler/Stream.h>
#include <poppler/XRef.h>
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

// The document's bytes, read in place. Once the page being drawn is refused, every stream
// of the document reads as ended, so the engine winds down within a few operators wherever
// it is (inside a form, a glyph, a pattern or an image included).
class GuardedMemStream : public BaseStream {
public:
    GuardedMemStream(const char* buffer, Goffset start, Goffset length, Object&& dictionary, const bool* stop)
        : BaseStream(std::move(dictionary), length),
          buffer_(buffer),
          start_(start),
          end_(buffer + start + length),
          next_(buffer + start),
          stop_(stop) {}

    BaseStream* copy() override { return new GuardedMemStream(buffer_, start_, length, dict.copy(), stop_); }
    Stream* makeSubStream(Goffset start, bool limited, Goffset sub_length, Object&& sub_dict) override {
        const Goffset end = start_ + length;
        const Goffset n = !limited || start + sub_length > end ? end - start : sub_length;
        return new GuardedMemStream(buffer_, start, n, std::move(sub_dict), stop_);
    }
    StreamKind getKind() const override { return strWeird; }
    void reset() override { next_ = buffer_ + start_; }
    void close() override {}
    int getChar() override { return next_ < end_ && !*stop_ ? (*next_++ & 0xff) : EOF; }
    int lookChar() override { return next_ < end_ && !*stop_ ? (*next_ & 0xff) : EOF; }
    Goffset getPos() override { return next_ - buffer_; }
    void setPos(Goffset pos, int dir = 0) override {
        next_ = buffer_ + std::clamp(dir >= 0 ? pos : start_ + length - pos, start_, start_ + length);
    }
    Goffset getStart() override { return start_; }
    void moveStart(Goffset delta) override {
        start_ += delta;
        length -= delta;
        next_ = buffer_ + start_;
    }
    int getUnfilteredChar() override { return getChar(); }
    void unfilteredReset() override { reset(); }

private:
    bool hasGetChars() override { return true; }
    int getChars(int n, unsigned char* out) override {
        if (n <= 0 || next_ >= end_ || *stop_) return 0;
        n = static_cast<int>(std::min<Goffset>(n, end_ - next_));
        std::memcpy(out, next_, static_cast<std::size_t>(n));
        next_ += n;
        return n;
    }

    const char* buffer_;
    Goffset start_;
    const char* end_;
    const char* next_;
    const bool* stop_;
};

// Inflated bytes of a stream, read through once; reading stops past the page's bound.
std::uint64_t stream_bytes(Stream* stream) {
    std::uint64_t total = 0;
    stream->reset();
    while (total <= kMaxPageContentBytes) {
        const unsigned n = stream->discardChars(1u << 16);
        if (n == 0) break;
        total += n;
    }
    stream->close();
    return total;
}

std::uint64_t path_points(const GfxPath* path) {
    std::uint64_t n = 0;
    for (int i = 0; path != nullptr && i < path->getNumSubpaths(); ++i) {
        n += static_cast<std::uint64_t>(path->getSubpath(i)->getNumPoints());
    }
    return n;
}

// What a page may cost; shared by the walk and the renderer through the abort check.
struct PageBudget {
    int page = 0;
    std::uint64_t segments = 0;
    std::uint64_t glyphs = 0;
    std::uint64_t checks = 0;
    std::uint64_t content_bytes = 0;
    int depth = 0;
    std::vector<int> forms;  // object numbers of the forms being drawn
    std::string refusal;     // set once; the engine is then told to stop
    bool* stop = nullptr;    // the document's streams end once this is set
    XRef* xref = nullptr;
    Gfx* gfx = nullptr;  // the page's interpreter, whose state holds the path being built
    std::map<int, std::uint64_t>* stream_sizes = nullptr;  // by object number, for the document
    // The points of the path being built, counted as it grows: all but its last sub-path.
    const GfxPath* counted_path = nullptr;
    const GfxSubpath* counted_first = nullptr;
    int counted_subpaths = 0;
    std::uint64_t counted_points = 0;

    static std::string too_many_subpaths() {
        return "holds a path of more than " + std::to_string(kMaxPathSubpaths) + " sub-paths";
    }
    void refuse(const std::string& reason) {
        if (refusal.empty()) refusal = "PDF page " + std::to_string(page) + " " + reason;
        if (stop != nullptr) *stop = true;
    }
    bool add_content(std::uint64_t n) {
        content_bytes += n;
        if (content_bytes > kMaxPageContentBytes) {
            refuse("holds more than " + std::to_string(kMaxPageContentBytes) + " bytes of content");
        }
        return refusal.empty();
    }
    // A stream the engine is about to parse: its size, measured once per document.
    bool add_stream(int number, const std::function<std::uint64_t()>& measure) {
        if (!refusal.empty()) return false;
        if (number < 0) return add_content(measure());
        auto found = stream_sizes->find(number);
        if (found == stream_sizes->end()) found = stream_sizes->emplace(number, measure()).first;
        return add_content(found->second);
    }
    bool add_stream(Ref ref) {
        if (ref == Ref::INVALID()) return refusal.empty();
        return add_stream(ref.num, [&] {
            Object object = xref->fetch(ref);
            return object.isStream() ? stream_bytes(object.getStream()) : 0;
        });
    }
    // The path being built, between two operators.
    void check_path() {
        const GfxPath* path = gfx->getState()->getPath();
        const int n = path->getNumSubpaths();
        if (n > kMaxPathSubpaths) {
            refuse(too_many_subpaths());
            return;
        }
        const GfxSubpath* first = n > 0 ? path->getSubpath(0) : nullptr;
        if (path != counted_path || first != counted_first || n < counted_subpaths) {
            counted_path = path;
            counted_first = first;
            counted_subpaths = 0;
            counted_points = 0;
        }
        for (; counted_subpaths + 1 < n; ++counted_subpaths) {
            counted_points += static_cast<std::uint64_t>(path->getSubpath(counted_subpaths)->getNumPoints());
        }
        const std::uint64_t last = n > 0 ? static_cast<std::uint64_t>(path->getSubpath(n - 1)->getNumPoints()) : 0;
        if (segments + counted_points + last > kMaxPageSegments) {
            refuse("holds more than " + std::to_string(kMaxPageSegments) + " path segments");
        }
    }
    bool add_segments(std::uint64_t n) {
        segments += n;
        if (segments > kMaxPageSegments) {
            refuse("holds more than " + std::to_string(kMaxPageSegments) + " path segments");
        }
        return refusal.empty();
    }
    // A painted (or clipping) path.
    bool add_path(const GfxPath* path) {
        if (path->getNumSubpaths() > kMaxPathSubpaths) refuse(too_many_subpaths());
        return add_segments(path_points(path));
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
    if (budget->gfx != nullptr && budget->refusal.empty()) budget->check_path();
    return !budget->refusal.empty();
}

// The page's content streams, measured before any of them is parsed.
bool add_contents(Object& contents, PageBudget& budget) {
    if (contents.isStream()) return budget.add_stream(-1, [&] { return stream_bytes(contents.getStream()); });
    for (int i = 0; contents.isArray() && i < contents.arrayGetLength(); ++i) {
        const Object& part = contents.arrayGetNF(i);
        if (part.isRef() && !budget.add_stream(part.getRef())) return false;
    }
    return budget.refusal.empty();
}

// The engine's own page display, with the page's content measured before it is parsed and
// the interpreter known to the abort check. Annotations are drawn only when asked.
void display_page(PDFDoc& doc, int index, OutputDev& device, double dpi, bool printing, bool annotations,
                  PageBudget& budget) {
    Page* page = doc.getPage(index + 1);
    std::unique_ptr<Gfx> gfx(
        page->createGfx(&device, dpi, dpi, 0, false, true, -1, -1, -1, -1, printing, abort_check, &budget));
    budget.gfx = gfx.get();
    Object contents = page->getContents();
    if (!add_contents(contents, budget)) {
        // Refused before the engine parsed any of it.
    } else if (!contents.isNull()) {
        gfx->saveState();
        gfx->display(&contents);
        if (budget.refusal.empty()) budget.check_path();  // a path left unpainted at the end
        gfx->restoreState();
    } else {
        device.dump();
    }
    if (annotations) {
        for (Annot* annot : page->getAnnots()->getAnnots()) {
            Object appearance = annot->getAppearance();
            const bool within = appearance.isRef() ? budget.add_stream(appearance.getRef())
                                : appearance.isStream()
                                    ? budget.add_stream(-1, [&] { return stream_bytes(appearance.getStream()); })
                                    : budget.refusal.empty();
            if (!within) break;
            annot->draw(gfx.get(), printing);
        }
        device.dump();
    }
    budget.gfx = nullptr;
    gfx.reset();  // ends the page
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
        if (budget_.enter_form(id)) budget_.add_stream(id);
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
    void clip(GfxState* state) override { budget_.add_path(state->getPath()); }
    void eoClip(GfxState* state) override { budget_.add_path(state->getPath()); }
    void clipToStrokePath(GfxState* state) override { budget_.add_path(state->getPath()); }

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
        if (!budget_.add_path(state->getPath())) return;
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
        if (budget_.add_path(state->getPath())) SplashOutputDev::stroke(state);
    }
    void fill(GfxState* state) override {
        if (budget_.add_path(state->getPath())) SplashOutputDev::fill(state);
    }
    void eoFill(GfxState* state) override {
        if (budget_.add_path(state->getPath())) SplashOutputDev::eoFill(state);
    }
    void clip(GfxState* state) override {
        if (budget_.add_path(state->getPath())) SplashOutputDev::clip(state);
    }
    void eoClip(GfxState* state) override {
        if (budget_.add_path(state->getPath())) SplashOutputDev::eoClip(state);
    }
    void clipToStrokePath(GfxState* state) override {
        if (budget_.add_path(state->getPath())) SplashOutputDev::clipToStrokePath(state);
    }
    void drawChar(GfxState* state, double x, double y, double dx, double dy, double ox, double oy, CharCode code,
                  int n, const Unicode* u, int u_len) override {
        if (budget_.add_glyph()) SplashOutputDev::drawChar(state, x, y, dx, dy, ox, oy, code, n, u, u_len);
    }
    void beginForm(Ref id) override {
        if (budget_.enter_form(id)) budget_.add_stream(id);
    }
    void endForm(Ref) override { budget_.leave_form(); }
    // A pattern cell or a Type 3 glyph refused here is not drawn.
    bool tilingPatternFill(GfxState* state, Gfx* gfx, Catalog* catalog, GfxTilingPattern* pattern, const double* mat,
                           int x0, int y0, int x1, int y1, double x_step, double y_step) override {
        Object* cell = pattern->getContentStream();
        if (!cell->isStream() ||
            !budget_.add_stream(pattern->getPatternRefNum(), [&] { return stream_bytes(cell->getStream()); })) {
            return true;
        }
        return SplashOutputDev::tilingPatternFill(state, gfx, catalog, pattern, mat, x0, y0, x1, y1, x_step, y_step);
    }
    bool beginType3Char(GfxState* state, double x, double y, double dx, double dy, CharCode code, const Unicode* u,
                        int u_len) override {
        auto* font = dynamic_cast<Gfx8BitFont*>(state->getFont().get());
        if (font != nullptr) {
            const Object reference = font->getCharProcNF(static_cast<int>(code));
            const int number = reference.isRef() ? reference.getRef().num : -1;
            if (!budget_.add_stream(number, [&] {
                    Object procedure = font->getCharProc(static_cast<int>(code));
                    return procedure.isStream() ? stream_bytes(procedure.getStream()) : 0;
                })) {
                return true;
            }
        }
        return SplashOutputDev::beginType3Char(state, x, y, dx, dy, code, u, u_len);
    }

private:
    PageBudget& budget_;
};

class PopplerDocument : public Document {
public:
    PopplerDocument(std::unique_ptr<bool> stop, std::unique_ptr<PDFDoc> doc)
        : stop_(std::move(stop)), doc_(std::move(doc)) {}

    int page_count() override { return doc_->getNumPages(); }

    PageSize page_size(int index) override {
        Page* page = page_at(index);
        PageSize size{page->getCropWidth(), page->getCropHeight()};
        if (page->getRotate() == 90 || page->getRotate() == 270) std::swap(size.width_pt, size.height_pt);
        return size;
    }

    void walk_page(int index, PageVisitor& visitor) override {
        page_at(index);
        PageBudget budget = new_budget(index);
        WalkDevice device(visitor, budget);
        display_page(*doc_, index, device, 72.0, false, false, budget);
        device.flush();
        budget.throw_if_refused();
    }

    void render_page(int index, double dpi, int width, int height, const RowSink& sink) override {
        page_at(index);
        PageBudget budget = new_budget(index);
        SplashColor paper;
        paper[0] = paper[1] = paper[2] = 0xff;
        RenderDevice device(paper, budget);
        device.startDoc(doc_.get());
        display_page(*doc_, index, device, dpi, true, true, budget);
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
    PageBudget new_budget(int index) {
        *stop_ = false;
        PageBudget budget;
        budget.page = index;
        budget.stop = stop_.get();
        budget.xref = doc_->getXRef();
        budget.stream_sizes = &stream_sizes_;
        return budget;
    }
    Page* page_at(int index) {
        Page* page = index >= 0 && index < doc_->getNumPages() ? doc_->getPage(index + 1) : nullptr;
        if (page == nullptr) throw std::invalid_argument("PDF engine could not load page " + std::to_string(index));
        return page;
    }

    std::unique_ptr<bool> stop_;  // outlives the document's streams
    std::unique_ptr<PDFDoc> doc_;
    std::map<int, std::uint64_t> stream_sizes_;
};

}  // namespace

std::unique_ptr<Document> load_document(const std::string& bytes, int& error_code) {
    ensure_engine_initialized();
    error_code = 0;
    // The stream reads the caller's bytes in place; the document owns the stream.
    auto stop = std::make_unique<bool>(false);
    auto* stream =
        new GuardedMemStream(bytes.data(), 0, static_cast<Goffset>(bytes.size()), Object(objNull), stop.get());
    auto doc = std::make_unique<PDFDoc>(stream);
    if (!doc->isOk()) {
        error_code = doc->getErrorCode() == errEncrypted ? kErrorPassword : kErrorFormat;
        return nullptr;
    }
    return std::make_unique<PopplerDocument>(std::move(stop), std::move(doc));
}

}  // namespace vesk::pdf_engine
