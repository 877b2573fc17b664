#include "support/pdf_writer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>

#include <openssl/evp.h>
#include <zlib.h>

namespace vesk::test {
namespace {

std::string num(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.4f", value);
    std::string text = buffer;
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text == "-0" ? "0" : text;
}

// A PDF literal string of WinAnsi bytes; characters above ASCII as octal escapes.
std::string literal(const std::string& utf8) {
    std::string out = "(";
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        unsigned code = c;
        if (c >= 0x80) {
            // Two-byte UTF-8 of U+0080..U+00FF is all WinAnsi needs here.
            if ((c & 0xe0) != 0xc0 || i + 1 >= utf8.size()) throw std::invalid_argument("label is not WinAnsi text");
            code = ((c & 0x1fu) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3fu);
            if (code > 0xff) throw std::invalid_argument("label is not WinAnsi text");
        }
        if (code == '(' || code == ')' || code == '\\') {
            out += '\\';
            out += static_cast<char>(code);
        } else if (code < 0x20 || code >= 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\%03o", code);
            out += escape;
        } else {
            out += static_cast<char>(code);
        }
    }
    return out + ")";
}

// Splits UTF-8 text into characters (each one Tj when split).
std::vector<std::string> characters(const std::string& utf8) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if ((static_cast<unsigned char>(utf8[i]) & 0xc0) == 0x80 && !out.empty()) {
            out.back() += utf8[i];
        } else {
            out.emplace_back(1, utf8[i]);
        }
    }
    return out;
}

std::string draw(const std::vector<PdfLabel>& labels, const std::vector<PdfRect>& rects) {
    std::string s;
    for (const PdfRect& r : rects) {
        s += num(r.x) + " " + num(r.y) + " " + num(r.width) + " " + num(r.height) + " re " +
             (r.fill && r.stroke ? "B" : r.fill ? "f" : "S") + "\n";
    }
    for (const PdfLabel& l : labels) {
        s += "BT /F1 " + num(l.size) + " Tf " + std::to_string(l.render_mode) + " Tr " + num(l.x) + " " + num(l.y) +
             " Td";
        if (l.split_glyphs) {
            for (const std::string& c : characters(l.text)) s += " " + literal(c) + " Tj";
        } else {
            s += " " + literal(l.text) + " Tj";
        }
        s += " ET\n";
    }
    return s;
}

std::string hex(const std::string& bytes) {
    static const char* kDigits = "0123456789ABCDEF";
    std::string out = "<";
    for (const char c : bytes) {
        out += kDigits[static_cast<unsigned char>(c) >> 4];
        out += kDigits[static_cast<unsigned char>(c) & 15];
    }
    return out + ">";
}

std::string md5(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        throw std::runtime_error("MD5 failed");
    }
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string rc4(const std::string& key, std::string data) {
    unsigned char s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<unsigned char>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + static_cast<unsigned char>(key[static_cast<std::size_t>(i) % key.size()])) & 255;
        std::swap(s[i], s[j]);
    }
    for (std::size_t k = 0, i = 0, j = 0; k < data.size(); ++k) {
        i = (i + 1) & 255;
        j = (j + s[i]) & 255;
        std::swap(s[i], s[j]);
        data[k] = static_cast<char>(static_cast<unsigned char>(data[k]) ^ s[(s[i] + s[j]) & 255]);
    }
    return data;
}

// The standard security handler, revision 2 (40-bit RC4).
struct Rc4Security {
    std::string owner_entry, user_entry, key;

    Rc4Security(const std::string& user, const std::string& owner, const std::string& file_id) {
        static const unsigned char kPad[32] = {0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41, 0x64, 0x00, 0x4E,
                                               0x56, 0xFF, 0xFA, 0x01, 0x08, 0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68,
                                               0x3E, 0x80, 0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A};
        const auto pad = [&](const std::string& password) {
            return (password + std::string(reinterpret_cast<const char*>(kPad), 32)).substr(0, 32);
        };
        owner_entry = rc4(md5(pad(owner)).substr(0, 5), pad(user));
        key = md5(pad(user) + owner_entry + std::string("\xFC\xFF\xFF\xFF", 4) + file_id).substr(0, 5);
        user_entry = rc4(key, std::string(reinterpret_cast<const char*>(kPad), 32));
    }
    std::string encrypt(int object, const std::string& data) const {
        std::string object_key = key;
        object_key += static_cast<char>(object & 255);
        object_key += static_cast<char>((object >> 8) & 255);
        object_key += static_cast<char>((object >> 16) & 255);
        object_key += std::string(2, '\0');
        return rc4(md5(object_key).substr(0, 10), data);
    }
};

// zlib's format (what /FlateDecode reads) of `data` followed by `blanks` spaces, fed in
// pieces so that a large padding never exists uncompressed.
std::string flate(const std::string& data, std::uint64_t blanks) {
    z_stream z{};
    if (deflateInit(&z, Z_BEST_COMPRESSION) != Z_OK) throw std::runtime_error("deflateInit");
    const std::string piece(std::size_t{1} << 20, ' ');
    std::string out;
    char buffer[1 << 16];
    const auto feed = [&](const char* bytes, std::size_t size, int flush) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
        z.avail_in = static_cast<uInt>(size);
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            ::deflate(&z, flush);
            out.append(buffer, sizeof buffer - z.avail_out);
        } while (z.avail_out == 0);
    };
    feed(data.data(), data.size(), Z_NO_FLUSH);
    // Runs of one byte compress as well and much faster this way.
    if (blanks > 0) {
        feed(nullptr, 0, Z_BLOCK);
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        if (deflateParams(&z, Z_BEST_COMPRESSION, Z_RLE) != Z_OK) throw std::runtime_error("deflateParams");
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    for (std::uint64_t left = blanks; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
        feed(piece.data(), n, Z_NO_FLUSH);
        left -= n;
    }
    feed(nullptr, 0, Z_FINISH);
    deflateEnd(&z);
    return out;
}

}  // namespace

std::string write_pdf(const PdfSpec& spec) {
    const std::string file_id = "0123456789ABCDEF";
    std::optional<Rc4Security> security;
    if (spec.encryption == PdfEncryption::empty_user_password) security.emplace("", "owner", file_id);
    if (spec.encryption == PdfEncryption::user_password) security.emplace("user", "owner", file_id);

    // Objects 1 catalog, 2 page tree, 3 font; then page, content and form per page.
    std::vector<std::string> objects(3);
    const auto stream = [&](const std::string& dictionary, const std::string& data) {
        const int number = static_cast<int>(objects.size()) + 1;
        const std::string bytes = security ? security->encrypt(number, data) : data;
        objects.push_back("<< " + dictionary + "/Length " + std::to_string(bytes.size()) + " >>\nstream\n" + bytes +
                          "\nendstream");
        return number;
    };
    const std::string font = "<< /Font << /F1 3 0 R >> >>";
    // Code 0x81 (undefined in WinAnsi) maps to U+FFFD, as producers write unknown glyphs.
    const int to_unicode = stream("", "/CIDInit /ProcSet findresource begin 12 dict begin begincmap /CMapName "
                                      "/VeskFFFD def /CMapType 2 def\n1 begincodespacerange <00> <FF> "
                                      "endcodespacerange\n1 beginbfchar <81> <FFFD> endbfchar\nendcmap CMapName "
                                      "currentdict /CMap defineresource pop end end");
    std::string kids;
    std::map<std::string, int> written;  // content bytes -> stream object, when shared
    for (const PdfPageSpec& page : spec.pages) {
        std::string content = num(page.line_width) + " w\n" + draw(page.labels, page.rects);
        for (const PdfLine& l : page.lines) {
            content += num(l.x1) + " " + num(l.y1) + " m " + num(l.x2) + " " + num(l.y2) + " l S\n";
        }
        if (page.inline_image) content += "q 20 0 0 20 10 10 cm BI /W 2 /H 2 /CS /G /BPC 8 /F /AHx ID 00FF8040> EI Q\n";
        std::string xobjects;
        if (page.form) {
            const auto& m = page.form->matrix;
            const std::string head = "/Type /XObject /Subtype /Form /BBox [0 0 " + num(page.width) + " " +
                                     num(page.height) + "] /Matrix [" + num(m[0]) + " " + num(m[1]) + " " +
                                     num(m[2]) + " " + num(m[3]) + " " + num(m[4]) + " " + num(m[5]) + "] ";
            const auto resources = [&](int form) {
                return "/Resources << /Font << /F1 3 0 R >> /XObject << /Fm1 " + std::to_string(form) + " 0 R >> >> ";
            };
            const int self = static_cast<int>(objects.size()) + 1;
            const std::string inner =
                draw(page.form->labels, page.form->rects) + std::string(page.form->blank_padding, ' ');
            int form = page.form->cycle ? stream(head + resources(self), inner + "/Fm1 Do\n")
                                        : stream(head + "/Resources " + font + " ", inner);
            for (int k = 1; k < page.form->nesting; ++k) form = stream(head + resources(form), "/Fm1 Do\n");
            xobjects = " /XObject << /Fm1 " + std::to_string(form) + " 0 R >>";
            content += "/Fm1 Do\n";
        }
        content += page.extra_content;
        std::map<std::string, std::string> categories;  // category -> its entries
        std::map<std::string, int> named;
        for (const PdfResource& r : page.resources) {
            std::string dictionary = r.dictionary;
            for (const auto& [name, number] : named) {
                for (std::size_t at; (at = dictionary.find("{" + name + "}")) != std::string::npos;) {
                    dictionary.replace(at, name.size() + 2, std::to_string(number) + " 0 R");
                }
            }
            const int number = r.deflate ? stream(dictionary + " /Filter /FlateDecode ", flate(r.data, r.blank_padding))
                                         : stream(dictionary + " ", r.data + std::string(r.blank_padding, ' '));
            named[r.name] = number;
            if (!r.category.empty()) categories[r.category] += " /" + r.name + " " + std::to_string(number) + " 0 R";
        }
        for (const auto& [category, entries] : categories) {
            if (category == "XObject" && !xobjects.empty()) {
                xobjects.insert(xobjects.size() - 3, entries);  // inside the form's << ... >>
            } else {
                xobjects += " /" + category + " <<" + entries + " >>";
            }
        }
        const std::string key = std::to_string(page.deflate) + " " + std::to_string(page.blank_padding) + " " + content;
        int& contents = written[spec.share_content ? key : std::to_string(written.size())];
        if (contents == 0) {
            contents = page.deflate ? stream("/Filter /FlateDecode ", flate(content, page.blank_padding))
                                    : stream("", content + std::string(page.blank_padding, ' '));
        }
        std::string dictionary = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + num(page.width) + " " +
                                 num(page.height) + "]";
        if (page.crop_box) {
            const auto& c = *page.crop_box;
            dictionary += " /CropBox [" + num(c[0]) + " " + num(c[1]) + " " + num(c[2]) + " " + num(c[3]) + "]";
        }
        if (page.rotate != 0) dictionary += " /Rotate " + std::to_string(page.rotate);
        dictionary += " /Resources << /Font << /F1 3 0 R >>" + xobjects + " >> /Contents " +
                      std::to_string(contents) + " 0 R >>";
        objects.push_back(dictionary);
        kids += (kids.empty() ? "" : " ") + std::to_string(objects.size()) + " 0 R";
    }
    objects[0] = "<< /Type /Catalog /Pages 2 0 R >>";
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(spec.pages.size()) + " >>";
    objects[2] = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding /ToUnicode " +
                 std::to_string(to_unicode) + " 0 R >>";
    std::string encrypt;
    if (security) {
        objects.push_back("<< /Filter /Standard /V 1 /R 2 /Length 40 /P -4 /O " + hex(security->owner_entry) +
                          " /U " + hex(security->user_entry) + " >>");
        encrypt = " /Encrypt " + std::to_string(objects.size()) + " 0 R";
    } else if (spec.encryption == PdfEncryption::bad_dictionary) {
        objects.push_back("<< /Filter /Standard /V 1 /R 2 /Length 40 /P -4 /O <00> /U <00> >>");
        encrypt = " /Encrypt " + std::to_string(objects.size()) + " 0 R";
    }

    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const std::size_t offset : offsets) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
        pdf += entry;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R" + encrypt + " /ID [" +
           hex(file_id) + " " + hex(file_id) + "] >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

void write_pdf_file(const std::filesystem::path& path, const PdfSpec& spec) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << write_pdf(spec);
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

PdfSpec plate_pdf() {
    const auto pt_x = [](double px) { return px * kPlatePxToPt; };
    const auto pt_y = [](double px) { return 216.0 - px * kPlatePxToPt; };
    const auto rect = [&](double x, double y, double w, double h) {
        return PdfRect{pt_x(x), pt_y(y + h), w * kPlatePxToPt, h * kPlatePxToPt};
    };
    const auto label = [&](const char* text, double x, double baseline) {
        return PdfLabel{text, pt_x(x), pt_y(baseline)};
    };
    PdfSpec spec;
    PdfPageSpec& page = spec.pages.front();
    page.rects = {rect(200, 250, 400, 300), rect(200, 760, 400, 50)};
    page.labels = {label("80", 900, 310), label("60", 900, 380), label("80", 900, 450), label("60", 900, 520),
                   label("80", 250, 862), label("10", 330, 862), label("80", 470, 862), label("10", 550, 862),
                   label("UNITS: MM", 900, 720)};
    return spec;
}

PdfSpec plate_pdf_on_sheet(double width, double height) {
    PdfSpec spec = plate_pdf();
    PdfPageSpec& page = spec.pages.front();
    const double shift = height - page.height;
    page.width = width;
    page.height = height;
    for (auto& label : page.labels) label.y += shift;
    for (auto& rect : page.rects) rect.y += shift;
    return spec;
}

std::vector<double> plate_pdf_values() { return {80, 60, 80, 60, 80, 10, 80, 10}; }

}  // namespace vesk::test
