# cmake -DSOURCE_DIR=<companions/attrs/html> -DOUTPUT=<file.cpp> -P embed.cmake
# Writes the C++ source that holds the HTML view's template, style sheet and script as byte
# arrays (html_assets.h declares them). The output is replaced only when its text changes.
set(text "// Generated from companions/attrs/html/ by embed.cmake; do not edit.\n#include \"companions/attrs/html_assets.h\"\n\nnamespace kes::attrs {\nnamespace {\n\n")
set(views "")
foreach(asset "Template:page.html" "Style:page.css" "Script:page.js")
  string(REPLACE ":" ";" parts "${asset}")
  list(GET parts 0 name)
  list(GET parts 1 file)
  file(READ "${SOURCE_DIR}/${file}" hex HEX)
  string(REGEX REPLACE "(................................)" "\\1\n" hex "${hex}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND text "// ${file}\nconst unsigned char k${name}Bytes[] = {\n${bytes}};\n\n")
  string(APPEND views "const std::string_view kHtmlPage${name}(reinterpret_cast<const char*>(k${name}Bytes), sizeof(k${name}Bytes));\n")
endforeach()
string(APPEND text "}  // namespace\n\n${views}\n}  // namespace kes::attrs\n")
file(WRITE "${OUTPUT}.tmp" "${text}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${OUTPUT}.tmp" "${OUTPUT}")
file(REMOVE "${OUTPUT}.tmp")
