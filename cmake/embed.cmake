# Turns a file into a C++ source that defines one std::string holding its bytes.
# -DINPUT=file -DOUTPUT=file.cpp -DNAMESPACE=ns -DSYMBOL=name
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(([^,]*,){24})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT}; do not edit.\n#include <string>\n\nnamespace {\nconst char kData[] = {\n${bytes}0};\n}\n\nnamespace ${NAMESPACE} {\nextern const std::string ${SYMBOL};\nconst std::string ${SYMBOL}(kData, ${size});\n}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
