# Writes a C++ source defining `std::string_view <FUNCTION>()` that returns the bytes of INPUT.
# Usage: cmake -DINPUT=file -DOUTPUT=file.cpp -DFUNCTION=name -DHEADER=include/path.hpp -P EmbedText.cmake
# A missing INPUT embeds an empty text, so a tree without the file still builds.
if(EXISTS "${INPUT}")
  file(READ "${INPUT}" hex HEX)
else()
  set(hex "")
endif()
string(LENGTH "${hex}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
# Break the initialiser into lines of 16 bytes to keep the compiler's line lengths modest.
string(REGEX REPLACE "(('[^']*',){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT}; do not edit.
#include \"${HEADER}\"

namespace drevik {
namespace {
constexpr char embeddedBytes[] = {
${bytes}'\\0'};
} // namespace

std::string_view ${FUNCTION}() { return {embeddedBytes, ${byte_count}}; }

} // namespace drevik
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
