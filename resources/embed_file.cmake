# cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -P embed_file.cmake
# Writes a C++ source holding INPUT's bytes as `extern const char SYMBOL[]`.
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE "${OUTPUT}"
  "// Generated from ${INPUT}; do not edit.\n#include <cstddef>\n"
  "extern const char ${SYMBOL}[] = {${bytes} 0};\n"
  "extern const std::size_t ${SYMBOL}_size = sizeof(${SYMBOL}) - 1;\n")
