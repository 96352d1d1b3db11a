// Reading SVG files (see svg_import.hpp): libxml2 parses the XML, SVG++ interprets the elements
// and attributes; this file keeps the state that SVG inherits down the tree and collects paths.
#include "import/svg_import.hpp"

#include "platform/file_bytes.hpp"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <svgpp/policy/xml/libxml2.hpp>
#include <svgpp/utility/arc_endpoint_to_center.hpp>
#include <svgpp/utility/arc_to_bezier.hpp>
#include <svgpp/svgpp.hpp>

#include <boost/mpl/set.hpp>

#include <cmath>
#include <numbers>
#include <limits>
#include <map>
#include <memory>
#include <set>

namespace drevik {
namespace {
class SvgContext;
}
} // namespace drevik

// Real files carry what SVG++ does not know (editors' own elements and style properties) and values
// it cannot parse: those are passed over, as a renderer passes over them.
template <>
struct svgpp::policy::error::default_policy<drevik::SvgContext> {
    using Context = drevik::SvgContext;
    using context_type = Context;
    template <class... Any>
    static bool unknown_element(const Context&, const Any&...) { return true; }
    template <class... Any>
    static bool unknown_attribute(const Context&, const Any&...) { return true; }
    template <class... Any>
    static bool unexpected_attribute(const Context&, const Any&...) { return true; }
    template <class... Any>
    static bool required_attribute_not_found(const Context&, const Any&...) { return true; }
    template <class... Any>
    static bool parse_failed(const Context&, const Any&...) { return true; }
    template <class... Any>
    static bool unexpected_element(const Context&, const Any&...) { return true; }
    template <class... Any>
    static bool negative_value(const Context&, const Any&...) { return true; }
};

namespace drevik {

namespace {

// x' = a x + c y + e, y' = b x + d y + f.
struct Matrix {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;

    // This transform after `inner`.
    Matrix after(const Matrix& inner) const {
        return {a * inner.a + c * inner.b, b * inner.a + d * inner.b, a * inner.c + c * inner.d,
                b * inner.c + d * inner.d, a * inner.e + c * inner.f + e, b * inner.e + d * inner.f + f};
    }
    Point2 apply(Point2 p) const { return {a * p.x + c * p.y + e, b * p.x + d * p.y + f}; }
};

enum class Visibility { visible, hidden };

// What an element inherits from its parent, and what it collects itself.
struct ElementState {
    Matrix matrix;               // element coordinates to the outermost viewport's
    bool filled = true;          // inherited paint
    bool stroked = false;
    double fillOpacity = 1, strokeOpacity = 1;
    Visibility visibility = Visibility::visible;
    bool hiddenByAncestor = false; // display:none, zero opacity or no room above
    bool hidden = false;           // the same, for this element itself

    std::vector<VectorPath> paths; // in element coordinates
    bool inPath = false;

    std::string href; // <use>
    double useX = 0, useY = 0;
    std::optional<double> useWidth, useHeight;
};

// The limit on nested <use> (also against a use that references its own ancestor).
constexpr int maximumUseDepth = 16;

class SvgContext;

using ProcessedElements = boost::mpl::set<svgpp::tag::element::svg, svgpp::tag::element::g, svgpp::tag::element::a,
                                          svgpp::tag::element::use_, svgpp::tag::element::path,
                                          svgpp::tag::element::rect, svgpp::tag::element::circle,
                                          svgpp::tag::element::ellipse, svgpp::tag::element::line,
                                          svgpp::tag::element::polyline, svgpp::tag::element::polygon>::type;

using ProcessedAttributes = boost::mpl::fold<
    boost::mpl::protect<
        boost::mpl::joint_view<svgpp::traits::shapes_attributes_by_element, svgpp::traits::viewport_attributes>>,
    boost::mpl::set<svgpp::tag::attribute::transform, svgpp::tag::attribute::fill, svgpp::tag::attribute::stroke,
                    svgpp::tag::attribute::fill_opacity, svgpp::tag::attribute::stroke_opacity,
                    svgpp::tag::attribute::opacity, svgpp::tag::attribute::display, svgpp::tag::attribute::visibility,
                    boost::mpl::pair<svgpp::tag::element::use_, svgpp::tag::attribute::xlink::href>,
                    boost::mpl::pair<svgpp::tag::element::use_, svgpp::tag::attribute::x>,
                    boost::mpl::pair<svgpp::tag::element::use_, svgpp::tag::attribute::y>,
                    boost::mpl::pair<svgpp::tag::element::use_, svgpp::tag::attribute::width>,
                    boost::mpl::pair<svgpp::tag::element::use_, svgpp::tag::attribute::height>>::type,
    boost::mpl::insert<boost::mpl::_1, boost::mpl::_2>>::type;

// Absolute coordinates and no shorthands, but arcs as arcs: the reader turns them into curves itself,
// so that an arc whose numbers overflow becomes a straight piece rather than undefined arithmetic.
struct PathPolicy : svgpp::policy::path::minimal {
    static const bool arc_as_cubic_bezier = false;
};

using Traversal = svgpp::document_traversal<
    svgpp::processed_elements<ProcessedElements>, svgpp::processed_attributes<ProcessedAttributes>,
    svgpp::viewport_policy<svgpp::policy::viewport::as_transform>,
    svgpp::length_policy<svgpp::policy::length::forward_to_method<SvgContext, const svgpp::factory::length::unitless<>>>,
    svgpp::path_policy<PathPolicy>,
    svgpp::basic_shapes_policy<svgpp::policy::basic_shapes::all_to_path>>;

class SvgContext {
public:
    using length_factory_type = svgpp::factory::length::unitless<>;

    SvgContext(std::map<std::string, xmlNode*> ids, double viewportWidth, double viewportHeight)
        : ids_(std::move(ids)), referenceWidth_(viewportWidth), referenceHeight_(viewportHeight) {
        lengths_.set_viewport_size(viewportWidth, viewportHeight);
        stack_.emplace_back();
    }

    const length_factory_type& length_factory() const { return lengths_; }
    VectorDrawing& drawing() { return drawing_; }
    bool sawViewport() const { return sawViewport_; }

    void on_enter_element(svgpp::tag::element::any) {
        ElementState child;
        const ElementState& parent = stack_.back();
        child.matrix = parent.matrix;
        child.filled = parent.filled;
        child.stroked = parent.stroked;
        child.fillOpacity = parent.fillOpacity;
        child.strokeOpacity = parent.strokeOpacity;
        child.visibility = parent.visibility;
        child.hiddenByAncestor = parent.hiddenByAncestor || parent.hidden;
        stack_.push_back(std::move(child));
    }

    void on_exit_element() {
        // Loading a <use> grows the stack: the element's state is looked up again after it.
        if (!stack_.back().href.empty()) loadUse();
        emit(stack_.back());
        stack_.pop_back();
    }

    // Transforms (the transform attribute, and viewports as translate and scale).
    void transform_matrix(const boost::array<double, 6>& m) {
        top().matrix = top().matrix.after({m[0], m[1], m[2], m[3], m[4], m[5]});
    }
    void transform_translate(double x, double y) { top().matrix = top().matrix.after({1, 0, 0, 1, x, y}); }
    void transform_scale(double x, double y) { top().matrix = top().matrix.after({x, 0, 0, y, 0, 0}); }

    // Viewports. The outermost one is the drawing's box.
    void set_viewport(double x, double y, double width, double height) {
        if (!sawViewport_) {
            sawViewport_ = true;
            const Point2 a = top().matrix.apply({x, y});
            drawing_.box = {a.x, a.y, width, height};
        }
    }
    void set_viewbox_size(double, double) {}
    void disable_rendering() { top().hidden = true; }

    // Path data, in the element's coordinates.
    void path_move_to(double x, double y, svgpp::tag::coordinate::absolute) {
        VectorPath path;
        path.start = {x, y};
        top().paths.push_back(std::move(path));
        top().inPath = true;
    }
    void path_line_to(double x, double y, svgpp::tag::coordinate::absolute) {
        current().lineTo({x, y});
        countPiece();
    }
    void path_cubic_bezier_to(double x1, double y1, double x2, double y2, double x, double y,
                              svgpp::tag::coordinate::absolute) {
        current().cubicTo({x1, y1}, {x2, y2}, {x, y});
        countPiece();
    }
    void path_elliptical_arc_to(double rx, double ry, double rotation, bool largeArc, bool sweep, double x, double y,
                                svgpp::tag::coordinate::absolute) {
        const VectorPath& path = current();
        const Point2 from = path.points.empty() ? path.start : path.points.back();
        rx = std::fabs(rx);
        ry = std::fabs(ry);
        const double angle = rotation * std::numbers::pi / 180.0;
        double cx = 0, cy = 0, theta1 = 0, theta2 = 0;
        const bool drawable = rx > 0 && ry > 0 && !(from.x == x && from.y == y) &&
                              std::isfinite(rx * ry * angle * x * y * from.x * from.y) && rx < 1e12 && ry < 1e12;
        if (drawable) {
            svgpp::arc_endpoint_to_center(from.x, from.y, x, y, rx, ry, angle, largeArc, sweep, cx, cy, theta1, theta2);
        }
        if (!drawable || !std::isfinite(cx + cy + theta1 + theta2 + rx + ry)) {
            path_line_to(x, y, svgpp::tag::coordinate::absolute());
            return;
        }
        if (sweep && theta2 < theta1) theta2 += 2 * std::numbers::pi;
        if (!sweep && theta2 > theta1) theta2 -= 2 * std::numbers::pi;
        using ArcToBezier = svgpp::arc_to_bezier<double>;
        ArcToBezier curves(cx, cy, rx, ry, angle, ArcToBezier::circle_angle_tag(), theta1, theta2,
                           ArcToBezier::max_angle_tag(), std::numbers::pi / 2);
        for (ArcToBezier::iterator it(curves); !it.eof(); it.advance()) {
            path_cubic_bezier_to(it.p1x(), it.p1y(), it.p2x(), it.p2y(), it.p3x(), it.p3y(),
                                 svgpp::tag::coordinate::absolute());
        }
    }
    void path_close_subpath() {
        if (top().paths.empty()) return;
        VectorPath& path = top().paths.back();
        path.closed = true;
        // Drawing goes on from the closed subpath's start.
        VectorPath next;
        next.start = path.start;
        top().paths.push_back(std::move(next));
    }
    void path_exit() { top().inPath = false; }

    // Paint and visibility.
    void set(svgpp::tag::attribute::fill, svgpp::tag::value::none) { top().filled = false; }
    void set(svgpp::tag::attribute::fill, svgpp::tag::value::inherit) {}
    template <typename... Value>
    void set(svgpp::tag::attribute::fill, const Value&...) { top().filled = true; }
    void set(svgpp::tag::attribute::stroke, svgpp::tag::value::none) { top().stroked = false; }
    void set(svgpp::tag::attribute::stroke, svgpp::tag::value::inherit) {}
    template <typename... Value>
    void set(svgpp::tag::attribute::stroke, const Value&...) { top().stroked = true; }

    void set(svgpp::tag::attribute::fill_opacity, double value) { top().fillOpacity = value; }
    void set(svgpp::tag::attribute::fill_opacity, svgpp::tag::value::inherit) {}
    void set(svgpp::tag::attribute::stroke_opacity, double value) { top().strokeOpacity = value; }
    void set(svgpp::tag::attribute::stroke_opacity, svgpp::tag::value::inherit) {}
    void set(svgpp::tag::attribute::opacity, double value) {
        if (!(value > 0)) top().hidden = true;
    }
    void set(svgpp::tag::attribute::opacity, svgpp::tag::value::inherit) {}

    void set(svgpp::tag::attribute::display, svgpp::tag::value::none) { top().hidden = true; }
    template <typename Value>
    void set(svgpp::tag::attribute::display, Value) {}

    void set(svgpp::tag::attribute::visibility, svgpp::tag::value::hidden) { top().visibility = Visibility::hidden; }
    void set(svgpp::tag::attribute::visibility, svgpp::tag::value::collapse) { top().visibility = Visibility::hidden; }
    void set(svgpp::tag::attribute::visibility, svgpp::tag::value::visible) { top().visibility = Visibility::visible; }
    void set(svgpp::tag::attribute::visibility, svgpp::tag::value::inherit) {}

    // <use>.
    template <typename Range>
    void set(svgpp::tag::attribute::xlink::href, svgpp::tag::iri_fragment, const Range& fragment) {
        top().href.assign(boost::begin(fragment), boost::end(fragment));
    }
    template <typename Range>
    void set(svgpp::tag::attribute::xlink::href, const Range&) {} // other files are not read
    void set(svgpp::tag::attribute::x, double value) { top().useX = value; }
    void set(svgpp::tag::attribute::y, double value) { top().useY = value; }
    void set(svgpp::tag::attribute::width, double value) { top().useWidth = value; }
    void set(svgpp::tag::attribute::height, double value) { top().useHeight = value; }
    // A symbol's viewport: the size its <use> gives, else the whole drawing's.
    void get_reference_viewport_size(double& width, double& height) const {
        const ElementState& use = stack_.size() >= 2 ? stack_[stack_.size() - 2] : stack_.back();
        width = use.useWidth.value_or(referenceWidth_);
        height = use.useHeight.value_or(referenceHeight_);
    }

private:
    ElementState& top() { return stack_.back(); }

    VectorPath& current() {
        ElementState& state = top();
        if (state.paths.empty()) state.paths.emplace_back();
        return state.paths.back();
    }

    void countPiece() {
        if (++pieces_ > maximumSegmentsPerFrame) throw TooManyPieces();
    }

    bool visible(const ElementState& state) const {
        return !state.hiddenByAncestor && !state.hidden && state.visibility == Visibility::visible;
    }

    void emit(ElementState& state) {
        if (state.paths.empty() || !visible(state)) return;
        const bool fill = state.filled && state.fillOpacity > 0;
        const bool stroke = state.stroked && state.strokeOpacity > 0;
        if (!fill && !stroke) return;
        for (VectorPath& path : state.paths) {
            if (path.pieces.empty()) continue;
            path.start = state.matrix.apply(path.start);
            for (Point2& point : path.points) point = state.matrix.apply(point);
            // A filled shape's outline is closed whether or not its path says so; a lone straight
            // piece has no area, and closing it would only draw it twice.
            const bool loneLine = path.pieces.size() == 1 && path.pieces.front() == VectorPath::Piece::line;
            if (fill && !loneLine) path.closed = true;
            drawing_.paths.push_back(std::move(path));
        }
    }

    void loadUse() {
        ElementState& state = stack_.back();
        const std::string href = std::move(state.href);
        state.href.clear();
        const auto found = ids_.find(href);
        if (found == ids_.end() || useDepth_ >= maximumUseDepth || !visible(state)) return;
        if (!loading_.insert(found->second).second) return; // it contains itself
        state.matrix = state.matrix.after({1, 0, 0, 1, state.useX, state.useY});
        ++useDepth_;
        struct Restore {
            SvgContext& context;
            xmlNode* node;
            ~Restore() {
                --context.useDepth_;
                context.loading_.erase(node);
            }
        } restore{*this, found->second};
        Traversal::load_referenced_element<
            svgpp::referencing_element<svgpp::tag::element::use_>,
            svgpp::expected_elements<svgpp::traits::reusable_elements>,
            svgpp::processed_elements<boost::mpl::insert<ProcessedElements, svgpp::tag::element::symbol>::type>>::
            load(found->second, *this);
    }

public:
    struct TooManyPieces {};

private:
    std::map<std::string, xmlNode*> ids_;
    double referenceWidth_, referenceHeight_;
    length_factory_type lengths_;
    std::vector<ElementState> stack_;
    VectorDrawing drawing_;
    bool sawViewport_ = false;
    std::int64_t pieces_ = 0;
    int useDepth_ = 0;
    std::set<xmlNode*> loading_;
};

struct DocumentDeleter {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
struct ParserDeleter {
    void operator()(xmlParserCtxt* parser) const { xmlFreeParserCtxt(parser); }
};

bool isSvgElement(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

std::string attribute(const xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (!value) return {};
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

// Every element with an id, and whether visible text is among them.
void indexElements(xmlNode* node, bool inHiddenPart, std::map<std::string, xmlNode*>& ids, bool& text) {
    for (xmlNode* child = node; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        const std::string id = attribute(child, "id");
        if (!id.empty()) ids.emplace(id, child);
        const bool hiddenPart = inHiddenPart || isSvgElement(child, "defs") || isSvgElement(child, "clipPath") ||
                                isSvgElement(child, "mask") || isSvgElement(child, "marker") ||
                                isSvgElement(child, "pattern") || isSvgElement(child, "symbol");
        if (!hiddenPart && isSvgElement(child, "text")) text = true;
        indexElements(child->children, hiddenPart, ids, text);
    }
}

// A length of the outermost <svg> in pixels; none for a percentage or no value.
std::optional<double> absoluteLength(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    std::string unit(end);
    while (!unit.empty() && unit.back() == ' ') unit.pop_back();
    static const std::map<std::string, double, std::less<>> perUnit = {
        {"", 1}, {"px", 1}, {"pt", 96.0 / 72}, {"pc", 16}, {"mm", 96 / 25.4}, {"cm", 96 / 2.54}, {"in", 96}};
    const auto found = perUnit.find(unit);
    if (end == text.c_str() || found == perUnit.end() || !std::isfinite(value) || !(value > 0)) return std::nullopt;
    return value * found->second;
}

// The viewBox's width and height; none when it has none or a bad one.
std::optional<std::pair<double, double>> viewBoxSize(const std::string& text) {
    double values[4];
    const char* p = text.c_str();
    for (double& value : values) {
        while (*p == ' ' || *p == ',' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
        char* end = nullptr;
        value = std::strtod(p, &end);
        if (end == p) return std::nullopt;
        p = end;
    }
    if (!(values[2] > 0 && values[3] > 0 && std::isfinite(values[2]) && std::isfinite(values[3]))) return std::nullopt;
    return std::pair{values[2], values[3]};
}

std::string withoutLineBreaks(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

// The first of the parser's complaints: later ones are often its consequences.
struct FirstXmlError {
    bool seen = false;
    int line = 0, column = 0;
    std::string message;
};

void keepFirstError(void* context, xmlErrorPtr error) {
    auto* first = static_cast<FirstXmlError*>(static_cast<xmlParserCtxt*>(context)->_private);
    if (!first || first->seen || !error || error->level < XML_ERR_ERROR) return;
    first->seen = true;
    first->line = error->line;
    first->column = error->int2;
    first->message = error->message ? error->message : "unreadable XML";
}

std::unique_ptr<xmlDoc, DocumentDeleter> parseXml(std::string_view bytes, const std::string& name) {
    std::unique_ptr<xmlParserCtxt, ParserDeleter> parser(xmlNewParserCtxt());
    if (!parser) throw std::bad_alloc();
    FirstXmlError first;
    parser->_private = &first;
    parser->sax->serror = keepFirstError;
    // No network, no error printing of its own, no entity expansion beyond libxml2's limits.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    std::unique_ptr<xmlDoc, DocumentDeleter> document(
        xmlCtxtReadMemory(parser.get(), bytes.data(), static_cast<int>(bytes.size()), name.c_str(), nullptr, options));
    if (!document || !parser->wellFormed) {
        if (!first.seen) {
            const xmlError* error = xmlCtxtGetLastError(parser.get());
            if (!error) throw ImportError(name + ": broken SVG");
            keepFirstError(parser.get(), const_cast<xmlError*>(error));
        }
        throw ImportError(name + ":" + std::to_string(first.line) + ":" + std::to_string(first.column) +
                          ": broken SVG: " + withoutLineBreaks(first.message));
    }
    return document;
}

} // namespace

bool looksLikeSvg(std::string_view bytes) {
    std::size_t i = 0;
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
    // Skip white space, the XML declaration, comments, processing instructions and the doctype.
    while (i < bytes.size()) {
        const char c = bytes[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            ++i;
            continue;
        }
        if (c != '<') return false;
        const std::string_view rest = bytes.substr(i);
        std::string_view close;
        if (rest.substr(0, 4) == "<!--") {
            close = "-->";
        } else if (rest.substr(0, 2) == "<?" || rest.substr(0, 2) == "<!") {
            close = ">";
        } else {
            // The first element: <svg or <prefix:svg.
            std::size_t end = 1;
            while (end < rest.size() && rest[end] != ' ' && rest[end] != '>' && rest[end] != '/' && rest[end] != '\t' &&
                   rest[end] != '\n' && rest[end] != '\r') {
                ++end;
            }
            const std::string_view tag = rest.substr(1, end - 1);
            return tag == "svg" || (tag.size() > 4 && tag.substr(tag.size() - 4) == ":svg");
        }
        const std::size_t found = rest.find(close, 2);
        if (found == std::string_view::npos) return false;
        // A doctype with an internal subset ends at "]>".
        if (rest.substr(0, 9) == "<!DOCTYPE" && rest.substr(0, found).find('[') != std::string_view::npos) {
            const std::size_t subsetEnd = rest.find("]>");
            if (subsetEnd == std::string_view::npos) return false;
            i += subsetEnd + 2;
            continue;
        }
        i += found + close.size();
    }
    return false;
}

SvgDrawing readSvg(std::string_view bytes, const std::string& name) {
    if (!looksLikeSvg(bytes)) throw ImportError(name + " is not an SVG file.");
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw ImportError(name + " is too large an SVG file.");
    }
    const auto document = parseXml(bytes, name);
    xmlNode* root = xmlDocGetRootElement(document.get());
    if (!root || !isSvgElement(root, "svg")) throw ImportError(name + " is not an SVG file.");

    SvgDrawing result;
    std::map<std::string, xmlNode*> ids;
    indexElements(root, false, ids, result.leftOutText);

    // Percentages of the outermost viewport refer to the viewBox, as when the file is shown alone.
    const auto width = absoluteLength(attribute(root, "width"));
    const auto height = absoluteLength(attribute(root, "height"));
    const auto viewBox = viewBoxSize(attribute(root, "viewBox"));
    const double referenceWidth = viewBox ? viewBox->first : width.value_or(100);
    const double referenceHeight = viewBox ? viewBox->second : height.value_or(100);
    SvgContext context(std::move(ids), referenceWidth, referenceHeight);
    try {
        Traversal::load_document(root, context);
    } catch (const SvgContext::TooManyPieces&) {
        throw ImportError(name + " gives more segments than the " + std::to_string(maximumSegmentsPerFrame) +
                          " Drevik can draw at once.");
    } catch (const ImportError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        throw ImportError(name + ": broken SVG: " + withoutLineBreaks(error.what()));
    }

    result.drawing = std::move(context.drawing());
    // Without a size of its own (no viewBox, no width and height) the drawing is fitted by its paths.
    if (!viewBox && !(width && height)) result.drawing.box = {};
    if (result.drawing.paths.empty()) {
        throw ImportError(name + (result.leftOutText ? " has nothing visible to draw but text; convert the text to "
                                                       "paths, or use drevik-import text."
                                                     : " has nothing visible to draw."));
    }
    return result;
}

ImportedSource readSvgSources(const std::vector<std::filesystem::path>& files, std::optional<double> framesPerSecond) {
    ImportedSource source;
    source.framesPerSecond = framesPerSecond;
    // The frames of an animation share one fit; scenes are each their own picture.
    source.fitTogether = framesPerSecond.has_value();
    for (const std::filesystem::path& file : files) {
        const std::string name = file.filename().string();
        SvgDrawing svg = readSvg(readFileBytes(file), name);
        if (svg.leftOutText) {
            source.notes.push_back(name + ": text left out; convert it to paths, or use drevik-import text.");
        }
        source.drawings.push_back(std::move(svg.drawing));
        source.names.push_back(name);
    }
    return source;
}

ImportedSource readSvgForm(const ImportRequest& request) {
    std::vector<std::filesystem::path> files(request.sources.begin(), request.sources.end());
    return readSvgSources(files, request.positiveNumber("--fps"));
}

} // namespace drevik
