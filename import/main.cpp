// drevik-import: converts drawings into a Graphics.csv (see import_command.hpp).
#include "platform/atomic_output.hpp"
#include "platform/error.hpp"
#include "import/import_command.hpp"
#include "import/picture_source.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    drevik::silenceMediaLog();
    try {
        for (const std::string& argument : arguments) {
            if (argument == "--help" || argument == "-h") {
                std::puts(drevik::importUsageText().c_str());
                return 0;
            }
        }
        // A Graphics.csv being written is removed when the run is interrupted.
        drevik::installSignalCleanup();
        drevik::runImportCommand(arguments);
        return 0;
    } catch (const std::bad_alloc&) {
        std::fputs("Drevik: Not enough memory to continue.\n", stderr);
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "Drevik: %s\n", error.what());
    }
    return 1;
}
