// Outline fonts read with FreeType; the library and face live exactly as long as the font.
#include "import/outline_font.hpp"

#include "platform/file_bytes.hpp"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include <filesystem>

namespace drevik {

struct OutlineFont::Library {
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    std::string bytes; // FreeType reads the face from memory that must outlive it

    ~Library() {
        if (face != nullptr) {
            FT_Done_Face(face);
        }
        if (library != nullptr) {
            FT_Done_FreeType(library);
        }
    }
};

namespace {

Point2 downwards(const FT_Vector* v) { return {double(v->x), -double(v->y)}; }

struct OutlineSink {
    std::vector<VectorPath> paths;
    VectorPath* current() { return paths.empty() ? nullptr : &paths.back(); }
};

// A contour's explicit last piece back to its start becomes the path's closing piece.
void closeLast(OutlineSink& sink) {
    VectorPath* path = sink.current();
    if (path == nullptr) {
        return;
    }
    path->closed = true;
    if (!path->pieces.empty() && path->pieces.back() == VectorPath::Piece::line &&
        path->points.back() == path->start) {
        path->pieces.pop_back();
        path->points.pop_back();
    }
}

int moveTo(const FT_Vector* to, void* user) {
    auto& sink = *static_cast<OutlineSink*>(user);
    closeLast(sink);
    sink.paths.push_back({});
    sink.paths.back().start = downwards(to);
    return 0;
}
int lineTo(const FT_Vector* to, void* user) {
    static_cast<OutlineSink*>(user)->current()->lineTo(downwards(to));
    return 0;
}
int conicTo(const FT_Vector* control, const FT_Vector* to, void* user) {
    static_cast<OutlineSink*>(user)->current()->quadraticTo(downwards(control), downwards(to));
    return 0;
}
int cubicTo(const FT_Vector* control1, const FT_Vector* control2, const FT_Vector* to, void* user) {
    static_cast<OutlineSink*>(user)->current()->cubicTo(downwards(control1), downwards(control2), downwards(to));
    return 0;
}

} // namespace

OutlineFont::OutlineFont(const std::string& location)
    : library_(std::make_unique<Library>()), name_(std::filesystem::path(location).filename().string()) {
    library_->bytes = readFileBytes(location, std::size_t{256} << 20);
    if (FT_Init_FreeType(&library_->library) != 0) {
        throw FontError("Could not start the font engine for " + name_);
    }
    if (FT_New_Memory_Face(library_->library, reinterpret_cast<const FT_Byte*>(library_->bytes.data()),
                           FT_Long(library_->bytes.size()), 0, &library_->face) != 0) {
        library_->face = nullptr;
        throw FontError(name_ + " is not a font that can be read");
    }
    if (!FT_IS_SCALABLE(library_->face)) {
        throw FontError(name_ + " has no outlines (a bitmap font)");
    }
    FT_Select_Charmap(library_->face, FT_ENCODING_UNICODE);
}

OutlineFont::~OutlineFont() = default;

std::optional<GlyphShape> OutlineFont::glyph(char32_t character) const {
    FT_Face face = library_->face;
    const FT_UInt index = FT_Get_Char_Index(face, character);
    if (index == 0 || FT_Load_Glyph(face, index, FT_LOAD_NO_SCALE | FT_LOAD_NO_BITMAP) != 0 ||
        face->glyph->format != FT_GLYPH_FORMAT_OUTLINE) {
        return std::nullopt;
    }
    static constexpr FT_Outline_Funcs funcs{moveTo, lineTo, conicTo, cubicTo, 0, 0};
    OutlineSink sink;
    if (FT_Outline_Decompose(&face->glyph->outline, &funcs, &sink) != 0) {
        return std::nullopt;
    }
    closeLast(sink);
    return GlyphShape{std::move(sink.paths), double(face->glyph->advance.x)};
}

double OutlineFont::kerning(char32_t left, char32_t right) const {
    FT_Face face = library_->face;
    if (!FT_HAS_KERNING(face)) {
        return 0;
    }
    FT_Vector delta{};
    if (FT_Get_Kerning(face, FT_Get_Char_Index(face, left), FT_Get_Char_Index(face, right),
                       FT_KERNING_UNSCALED, &delta) != 0) {
        return 0;
    }
    return double(delta.x);
}

double OutlineFont::lineHeight() const {
    const FT_Face face = library_->face;
    return face->height > 0 ? double(face->height) : double(face->units_per_EM) * 1.2;
}

} // namespace drevik
