// The drevik-import command line (see import_command.hpp).
#include "import/import_command.hpp"

#include "import/graphics_csv_writer.hpp"
#include "import/import_forms.hpp"
#include "import/soundtrack_length.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace drevik {

namespace {

constexpr std::string_view commonOptions[] = {"-o", "--duration", "--music"};


bool takes(const ImportForm& form, std::string_view option) {
    return std::find(std::begin(commonOptions), std::end(commonOptions), option) != std::end(commonOptions) ||
           std::find(form.options.begin(), form.options.end(), option) != form.options.end();
}

ImportRequest parseArguments(const ImportForm& form, const std::vector<std::string>& arguments) {
    ImportRequest request;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() > 1 && argument[0] == '-') {
            if (!takes(form, argument)) {
                throw ImportError("drevik-import " + std::string(form.name) + " has no option " + argument +
                                  " (see drevik-import --help).");
            }
            if (i + 1 >= arguments.size()) throw ImportError(argument + " needs a value.");
            request.options[argument] = arguments[++i]; // the last one wins
        } else {
            request.sources.push_back(argument);
        }
    }
    return request;
}

// "logo.svg", or "3 files: a.svg ... c.svg".
std::string sourceNote(const ImportForm& form, const ImportRequest& request) {
    auto name = [](const std::string& source) { return std::filesystem::path(source).filename().string(); };
    std::string note = "Made by drevik-import " + std::string(form.name) + " from ";
    if (request.sources.size() == 1) return note + name(request.sources.front());
    note += std::to_string(request.sources.size()) + " sources: " + name(request.sources.front());
    if (request.sources.size() > 2) note += " ...";
    return note + " " + name(request.sources.back());
}

} // namespace

std::string importUsageText() {
    std::string text = "Usage:\n";
    for (const ImportForm& form : importForms()) {
        std::string name(form.name);
        name.resize(std::max<std::size_t>(name.size(), 5), ' ');
        text += "  drevik-import " + name + " " + std::string(form.usage) + "\n";
    }
    text +=
        "\n"
        "Converts drawings into a Graphics.csv for drevik, fitted into the 16:9 picture.\n"
        "  -o PATH          the Graphics.csv to write (never replaces a file)\n"
        "  --duration S     the length of the show in seconds\n"
        "  --music PATH     the length of the show from its Music.csv\n"
        "  --fps N          the sources are the frames of one animation at N frames a second\n"
        "                   (else each source is one scene of equal length; a video keeps its own rate)\n"
        "  --font FILE      text: a single-stroke font (.jhf) or a TrueType/OpenType font\n"
        "                   (else the single-stroke futural); \\n in TEXT starts a new line\n"
        "  --threshold T    trace: dark and bright split at T (0...1 of luminance; else chosen\n"
        "                   for each picture)\n"
        "  -h, --help       this text";
    return text;
}

void runImportCommand(const std::vector<std::string>& arguments) {
    if (arguments.empty()) throw ImportError("drevik-import needs a form and its sources (see drevik-import --help).");
    const ImportForm* form = findImportForm(arguments.front());
    if (!form) throw ImportError("drevik-import has no form " + arguments.front() + " (see drevik-import --help).");
    const ImportRequest request = parseArguments(*form, arguments);
    const std::string* output = request.option("-o");
    if (!output) throw ImportError("drevik-import needs -o PATH, the Graphics.csv to write.");
    if (request.sources.empty()) throw ImportError("drevik-import " + std::string(form->name) + " needs a source.");
    const std::string* music = request.option("--music");
    std::optional<double> duration = request.positiveNumber("--duration");
    if (duration && music) throw ImportError("Give --duration or --music, not both.");
    if (std::filesystem::path(*output).empty()) throw ImportError("-o needs a path.");

    const ImportedSource source = form->read(request);
    for (const std::string& note : source.notes) std::fprintf(stderr, "Note: %s\n", note.c_str());
    if (music) duration = soundtrackSeconds(*music);
    const GraphicsTimeline timeline = buildImportedTimeline(source, duration);
    writeGraphicsCsv(*output, timeline, sourceNote(*form, request));
    std::printf("Wrote %s\n", output->c_str());
}

} // namespace drevik
