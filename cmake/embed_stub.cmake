# Turns the built stub into a C++ source that `jov` links, so `jov pack` needs
# no stub file at run time. Run as: cmake -DINPUT=stub.exe -DOUTPUT=x.cpp -P embed_stub.cmake
# A missing INPUT gives an empty stub (`jov pack` then asks for --stub).
if(INPUT AND EXISTS "${INPUT}")
  file(READ "${INPUT}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" bytes "${bytes}")
else()
  set(size 0)
  set(bytes "0")
endif()
file(WRITE "${OUTPUT}.new"
  "// Generated from the built stub by cmake/embed_stub.cmake; do not edit.\n"
  "#include <stddef.h>\n"
  "extern const unsigned char embeddedStub[] = {\n${bytes}\n};\n"
  "extern const size_t embeddedStubSize = ${size};\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
