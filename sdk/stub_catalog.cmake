# The package catalog's interface for host developers: stub_catalog.idl
# compiled by widl into the public header stub/stub_catalog.h (C and C++) and
# the type library stub_catalog.tlb, beside the engine's in the build tree,
# made the same way (sdk/stub_engine.cmake). StubHost.dll carries the type
# library as a resource; the release ships all three.
set(STUB_CATALOG_HEADER ${stub_gen_dir}/stub_catalog.h)
set(STUB_CATALOG_TLB ${stub_gen_dir}/stub_catalog.tlb)
# The identifiers' definitions, as MIDL's _i.c gives them, for a program that
# compiles them in rather than including <initguid.h> before the header.
set(STUB_CATALOG_IDENTIFIERS ${stub_gen_dir}/stub_catalog_i.c)
add_custom_command(
  OUTPUT ${STUB_CATALOG_HEADER} ${STUB_CATALOG_TLB} ${STUB_CATALOG_IDENTIFIERS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stub_gen_dir}
  COMMAND ${STUB_WIDL} --nostdinc --win32 -I ${PROJECT_SOURCE_DIR}/sdk/idl
          -L ${CMAKE_BINARY_DIR}/sdk/idl -h -H ${STUB_CATALOG_HEADER} -t -T ${STUB_CATALOG_TLB}
          -u -U ${STUB_CATALOG_IDENTIFIERS} stub_catalog.idl
  COMMAND ${STUB_PERL} ${PROJECT_SOURCE_DIR}/sdk/idl/fix_tlb_time.pl ${STUB_CATALOG_TLB}
  WORKING_DIRECTORY ${stub_idl_dir}
  DEPENDS ${stub_idl_dir}/stub_catalog.idl ${PROJECT_SOURCE_DIR}/sdk/idl/oaidl.idl ${stub_stdole}
          ${PROJECT_SOURCE_DIR}/sdk/idl/fix_tlb_time.pl
  COMMENT "widl: stub/stub_catalog.h, stub_catalog_i.c and stub_catalog.tlb"
  VERBATIM)
add_custom_target(stub_catalog_idl ALL DEPENDS ${STUB_CATALOG_HEADER} ${STUB_CATALOG_TLB}
                  ${STUB_CATALOG_IDENTIFIERS})
add_dependencies(stub_sdk_headers stub_catalog_idl)

install(FILES ${stub_idl_dir}/stub_catalog.idl ${STUB_CATALOG_HEADER} ${STUB_CATALOG_TLB}
              ${STUB_CATALOG_IDENTIFIERS}
        DESTINATION include/stub COMPONENT release)

# A client of StubHost.dll: the public headers and the system libraries it
# links, as the installed package config's Stub::Catalog gives them.
add_library(stub_catalog_client INTERFACE)
target_link_libraries(stub_catalog_client INTERFACE stub_sdk_headers ole32 oleaut32 uuid)
if(NOT TARGET Stub::Catalog)
  add_library(Stub::Catalog ALIAS stub_catalog_client)
endif()
# The identifiers compiled in from stub_catalog_i.c, as the installed package
# config's Stub::CatalogIdentifiers gives them.
add_library(stub_catalog_identifiers INTERFACE)
target_sources(stub_catalog_identifiers INTERFACE ${STUB_CATALOG_IDENTIFIERS})
target_link_libraries(stub_catalog_identifiers INTERFACE stub_catalog_client)
add_dependencies(stub_catalog_identifiers stub_catalog_idl)
if(NOT TARGET Stub::CatalogIdentifiers)
  add_library(Stub::CatalogIdentifiers ALIAS stub_catalog_identifiers)
endif()
