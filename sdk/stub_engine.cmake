# The engine interface for engine and host developers: stub_engine.idl compiled
# by widl into the public header stub/stub_engine.h (C and C++) and the type
# library stub_engine.tlb, both in the build tree under sdk/include/stub.
# Windows builds only. `Stub::Headers` gives a target the public headers, as
# the installed CMake package config does for projects built against a release.
#
# Debian's mingw-w64 ships no .idl files, so widl reads the IDL's import of
# oaidl.idl and importlib of stdole2.tlb from build-time stand-ins (sdk/idl/).
# The type library is written for 32-bit Windows: oleaut32 of either
# architecture reads it (it scales the vtable offsets by the pointer size), so
# both builds make and install the same bytes.
find_program(STUB_WIDL NAMES x86_64-w64-mingw32-widl i686-w64-mingw32-widl widl REQUIRED)
find_program(STUB_PERL NAMES perl REQUIRED)

set(STUB_SDK_INCLUDE ${CMAKE_BINARY_DIR}/sdk/include)
set(stub_idl_dir ${PROJECT_SOURCE_DIR}/sdk/include/stub)
set(stub_gen_dir ${STUB_SDK_INCLUDE}/stub)
set(STUB_ENGINE_HEADER ${stub_gen_dir}/stub_engine.h)
set(STUB_ENGINE_TLB ${stub_gen_dir}/stub_engine.tlb)
set(stub_stdole ${CMAKE_BINARY_DIR}/sdk/idl/stdole2.tlb)

add_custom_command(
  OUTPUT ${stub_stdole}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/sdk/idl
  COMMAND ${STUB_WIDL} --nostdinc --win32 -t -T ${stub_stdole} stdole2.idl
  COMMAND ${STUB_PERL} ${PROJECT_SOURCE_DIR}/sdk/idl/fix_tlb_time.pl ${stub_stdole}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/sdk/idl
  DEPENDS ${PROJECT_SOURCE_DIR}/sdk/idl/stdole2.idl ${PROJECT_SOURCE_DIR}/sdk/idl/fix_tlb_time.pl
  COMMENT "widl: the stand-in stdole2.tlb"
  VERBATIM)
# widl runs in the IDL's folder and is given its plain name, which the
# generated header names: no build path reaches a shipped file.
add_custom_command(
  OUTPUT ${STUB_ENGINE_HEADER} ${STUB_ENGINE_TLB}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stub_gen_dir}
  COMMAND ${STUB_WIDL} --nostdinc --win32 -I ${PROJECT_SOURCE_DIR}/sdk/idl
          -L ${CMAKE_BINARY_DIR}/sdk/idl -h -H ${STUB_ENGINE_HEADER} -t -T ${STUB_ENGINE_TLB}
          stub_engine.idl
  COMMAND ${STUB_PERL} ${PROJECT_SOURCE_DIR}/sdk/idl/fix_tlb_time.pl ${STUB_ENGINE_TLB}
  WORKING_DIRECTORY ${stub_idl_dir}
  DEPENDS ${stub_idl_dir}/stub_engine.idl ${PROJECT_SOURCE_DIR}/sdk/idl/oaidl.idl ${stub_stdole}
          ${PROJECT_SOURCE_DIR}/sdk/idl/fix_tlb_time.pl
  COMMENT "widl: stub/stub_engine.h and stub_engine.tlb"
  VERBATIM)
add_custom_target(stub_engine_idl ALL DEPENDS ${STUB_ENGINE_HEADER} ${STUB_ENGINE_TLB})

# The public headers as consumers see them: the SDK's own and the generated one.
add_library(stub_sdk_headers INTERFACE)
target_include_directories(stub_sdk_headers INTERFACE ${PROJECT_SOURCE_DIR}/sdk/include
                           ${STUB_SDK_INCLUDE})
add_dependencies(stub_sdk_headers stub_engine_idl)
if(NOT TARGET Stub::Headers)
  add_library(Stub::Headers ALIAS stub_sdk_headers)
endif()

install(FILES ${stub_idl_dir}/stub_engine.idl ${STUB_ENGINE_HEADER} ${STUB_ENGINE_TLB}
        DESTINATION include/stub COMPONENT release)
install(FILES ${PROJECT_SOURCE_DIR}/docs/engines.md DESTINATION docs COMPONENT release)
