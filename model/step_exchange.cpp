#include "model/step_exchange.hpp"
#include "model/step_exchange_internal.hpp"

#include <mutex>
#include <optional>
#include <stdexcept>

#include <IFSelect_ReturnStatus.hxx>
#include <Interface_Static.hxx>
#include <STEPControl_Reader.hxx>
#include <STEPControl_StepModelType.hxx>
#include <STEPControl_Writer.hxx>

#include "model/document_files.hpp"
#include "model/occt_support.hpp"

namespace vesk {
namespace {

constexpr std::string_view kFileNamePrefix = "FILE_NAME('Open CASCADE Shape Model','";
constexpr std::string_view kFixedTimestamp = "1970-01-01T00:00:00";
constexpr std::string_view kProductPrefix = "PRODUCT('Open CASCADE STEP translator ";
constexpr std::size_t kProductOpenLength = 9;  // "PRODUCT('"

bool is_decimal_digit(char c) { return c >= '0' && c <= '9'; }

// OCCT's STEP translator keeps process-wide state (its schema parameter, controller
// registry and product counter) and corrupts it when two threads use it at once. Every
// write (schema setting, transfer, write) and every read holds this one lock; nothing
// else needs it.
std::mutex& step_translator_mutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

void write_step_file(const TopoDS_Shape& shape, platform::TemporaryFile& file) {
    if (shape.IsNull()) throw std::invalid_argument("Cannot write a null shape to STEP");
    // The translator decodes the name as UTF-8; the temporary's library name survives that.
    const std::string name = file.library_path();
    const std::string shown = file.final_path().string();
    call_occt([&] {
        std::lock_guard<std::mutex> lock(step_translator_mutex());
        // The writer must exist before the schema is set (the setting is refused until
        // the STEP controller is registered), and the model must be started after it
        // (a model started earlier keeps the previous schema).
        STEPControl_Writer writer;
        if (!Interface_Static::SetCVal("write.step.schema", "AP242DIS")) {
            throw std::runtime_error("OCCT rejected the AP242 STEP schema setting");
        }
        writer.Model(Standard_True);
        if (writer.Transfer(shape, STEPControl_AsIs, Standard_True) != IFSelect_RetDone) {
            throw std::runtime_error("OCCT failed to transfer the model to STEP AP242");
        }
        if (writer.Write(name.c_str()) != IFSelect_RetDone) {
            throw std::runtime_error("OCCT failed to write STEP file: " + shown);
        }
    });
    std::string text;
    try {
        text = platform::read_file(file.path());
    } catch (const platform::FileError&) {
        throw std::runtime_error("Cannot reopen STEP file for deterministic header: " + shown);
    }
    text = deterministic_step_text(text);
    try {
        file.write(text);
    } catch (const platform::FileError& error) {
        throw_output_error(error, "STEP", file.final_path());
    }
}

void write_step_file(const TopoDS_Shape& shape, const std::filesystem::path& path) {
    if (shape.IsNull()) throw std::invalid_argument("Cannot write a null shape to STEP");
    std::optional<platform::TemporaryFile> file;
    try {
        file.emplace(path);
    } catch (const platform::FileError&) {
        throw std::runtime_error("OCCT failed to write STEP file: " + path.string());
    }
    write_step_file(shape, *file);
    commit_output_file(*file, "STEP");
}

std::string deterministic_step_text(std::string_view text) {
    std::string out(text);

    const std::size_t file_name = out.find(kFileNamePrefix);
    if (file_name == std::string::npos) {
        throw std::runtime_error("STEP header is missing the OCCT FILE_NAME record");
    }
    const std::size_t stamp_begin = file_name + kFileNamePrefix.size();
    const std::size_t stamp_end = out.find("',(", stamp_begin);
    if (stamp_end == std::string::npos || stamp_end == stamp_begin) {
        throw std::runtime_error("STEP header has an invalid FILE_NAME timestamp");
    }
    out.replace(stamp_begin, stamp_end - stamp_begin, kFixedTimestamp);

    const std::size_t product = out.find(kProductPrefix);
    if (product == std::string::npos) {
        throw std::runtime_error("STEP data is missing the OCCT PRODUCT record");
    }
    const std::size_t name_begin = product + kProductOpenLength;
    const std::size_t name_end = out.find("',", name_begin);
    if (name_end == std::string::npos) {
        throw std::runtime_error("STEP data has an invalid OCCT PRODUCT record");
    }
    const std::string old_name = out.substr(name_begin, name_end - name_begin);
    const std::size_t blank = old_name.rfind(' ');
    if (blank == std::string::npos || blank + 1 == old_name.size()) {
        throw std::runtime_error("STEP data has an invalid OCCT PRODUCT counter");
    }
    for (std::size_t i = blank + 1; i < old_name.size(); ++i) {
        if (!is_decimal_digit(old_name[i])) {
            throw std::runtime_error("STEP data has an invalid OCCT PRODUCT counter");
        }
    }
    const std::string new_name = old_name.substr(0, blank + 1) + "1";

    // Only the PRODUCT record itself: later records that quote the name stay as written.
    const std::size_t close = out.find(");", product);
    const std::size_t record_end = close == std::string::npos ? out.size() : close + 2;
    std::string rewritten = out.substr(0, product);
    std::size_t from = product;
    for (;;) {
        const std::size_t hit = out.find(old_name, from);
        if (hit == std::string::npos || hit >= record_end) break;
        rewritten.append(out, from, hit - from);
        rewritten += new_name;
        from = hit + old_name.size();
    }
    rewritten.append(out, from, std::string::npos);
    return rewritten;
}

void make_step_header_deterministic(const std::filesystem::path& path) {
    std::string text;
    try {
        text = platform::read_file(path);
    } catch (const platform::FileError&) {
        throw std::runtime_error("Cannot reopen STEP file for deterministic header: " + path.string());
    }
    // A text transform and one replace: a crash leaves the old file or the new one.
    write_output_file(path, deterministic_step_text(text), "STEP");
}

namespace {

TopoDS_Shape read_step_named(const std::string& name, const std::string& shown) {
    return call_occt([&] {
        std::lock_guard<std::mutex> lock(step_translator_mutex());
        STEPControl_Reader reader;
        if (reader.ReadFile(name.c_str()) != IFSelect_RetDone) {
            throw std::runtime_error("OCCT failed to read STEP file: " + shown);
        }
        if (reader.TransferRoots() < 1) {
            throw std::runtime_error("OCCT STEP file contains no transferable roots: " + shown);
        }
        TopoDS_Shape shape = reader.OneShape();
        if (shape.IsNull()) throw std::runtime_error("OCCT produced a null shape from STEP file: " + shown);
        return shape;
    });
}

}  // namespace

TopoDS_Shape read_step_file(const std::filesystem::path& path) {
    return read_step_named(path.string(), path.string());
}

TopoDS_Shape read_step_file(const platform::TemporaryFile& file) {
    return read_step_named(file.library_path(), file.final_path().string());
}

}  // namespace vesk
