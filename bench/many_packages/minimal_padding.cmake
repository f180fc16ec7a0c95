# Writes the padding of the minimal baseline module so that it is as large as
# Stub.dll: the bare build (padded with 512 bytes) shows what the rest weighs.
#   cmake -DSTUB=<Stub.dll> -DBARE=<bare minimal module> -DOUT=<header> -P minimal_padding.cmake
file(SIZE "${STUB}" stub_bytes)
file(SIZE "${BARE}" bare_bytes)
math(EXPR padding "${stub_bytes} - ${bare_bytes} + 512")
if(padding LESS 512)
  set(padding 512)
endif()
set(text "// Generated from the sizes of Stub.dll (${stub_bytes} bytes) and the bare minimal module.\n#pragma once\nconstexpr unsigned kMinimalPaddingBytes = ${padding};\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE "${OUT}" "${text}")
endif()
