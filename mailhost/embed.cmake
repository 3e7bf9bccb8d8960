# cmake -DINPUT=file -DOUTPUT=header -DNAME=symbol -P embed.cmake
# Writes the file's bytes as a constexpr char array, so that the installed binary carries
# the file and needs no source tree.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} at build time; do not edit.\n"
  "#pragma once\n"
  "#include <cstddef>\n"
  "#include <string_view>\n"
  "namespace corvalith::embedded {\n"
  "inline constexpr char k${NAME}Bytes[${size} + 1] = {\n    ${bytes}'\\0'};\n"
  "inline constexpr std::string_view k${NAME}(k${NAME}Bytes, ${size});\n"
  "}  // namespace corvalith::embedded\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
