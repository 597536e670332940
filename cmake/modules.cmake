# The modules of src/, one static library each, and who may use whom.
#
# Every module keeps its headers in src/<folder>/ and is included as "<folder>/name.h". A module's
# include root (module-include/<target>/ in the build folder) holds only a link to its own folder,
# and a target sees the roots of the modules it links and of nothing else: an #include of a module
# that the target may not use fails to compile. Dependencies point downward:
#
#   cli -> commands -> container, pkcs12, x509 -> asn1, crypto/* -> crypto/context
#   settings: the record the command line fills and the commands read (header only)
#   unicode: UTF-8 one scalar value at a time (header only), for platform and asn1
#   platform: used by cli, commands, container and crypto/context (random source) only
#   resources: used by cli only
#
# Test seams: platform and crypto/context are built twice, as keymend_<m> without any seam and
# as keymend_<m>_testing with KEYMEND_TEST_SEAMS. A target that links keymend_<m>_link gets the
# testing build when it sets the property KEYMEND_TEST_SEAMS (the test suite, the fuzz targets),
# so the shipped keymend contains no test hook.

set(KEYMEND_MODULE_INCLUDE ${CMAKE_BINARY_DIR}/module-include)

# The include root of a module: module-include/<target>/<folder> -> src/<folder>. Where the file
# system has no symbolic links the root is src/ itself (the build works, without enforcement).
function(keymend_module_root target folder out)
  set(root ${KEYMEND_MODULE_INCLUDE}/${target})
  set(link ${root}/${folder})
  if(NOT IS_SYMLINK ${link})
    get_filename_component(parent ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${folder} ${link} RESULT failed SYMBOLIC)
    if(failed)
      message(WARNING "no symbolic link for ${folder} (${failed}): includes are not checked")
      set(root ${CMAKE_SOURCE_DIR}/src)
    endif()
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# keymend_module(<name> <folder> [HEADER_ONLY] [SEAMS] [SOURCES files...] [PUBLIC targets...]
#                [PRIVATE targets...])
# Creates keymend_<name> from src/<folder>/*.cpp (or SOURCES). PUBLIC: modules whose headers this
# module's headers include; PRIVATE: modules only its sources use. With SEAMS the module is also
# built as keymend_<name>_testing, and consumers link keymend_<name>_link.
function(keymend_module name folder)
  cmake_parse_arguments(M "HEADER_ONLY;SEAMS" "" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  set(target keymend_${name})
  keymend_module_root(${target} ${folder} root)
  if(M_HEADER_ONLY)
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${root})
    target_link_libraries(${target} INTERFACE ${M_PUBLIC})
    return()
  endif()
  if(NOT M_SOURCES)
    file(GLOB M_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${folder}/*.cpp)
  endif()
  set(variants ${target})
  if(M_SEAMS)
    list(APPEND variants ${target}_testing)
  endif()
  foreach(variant ${variants})
    add_library(${variant} STATIC ${M_SOURCES})
    target_include_directories(${variant} PUBLIC ${root})
    target_link_libraries(${variant} PUBLIC ${M_PUBLIC} PRIVATE ${M_PRIVATE})
  endforeach()
  if(M_SEAMS)
    target_compile_definitions(${target}_testing PUBLIC KEYMEND_TEST_SEAMS)
    add_library(${target}_link INTERFACE)
    target_link_libraries(${target}_link INTERFACE
      "$<IF:$<BOOL:$<TARGET_PROPERTY:KEYMEND_TEST_SEAMS>>,${target}_testing,${target}>")
  endif()
endfunction()

keymend_module(unicode unicode HEADER_ONLY)

# The operating-system layer: src/platform/*.cpp on POSIX systems, src/platform/win32/*.cpp on
# Windows, where the string table becomes resources of the executable (cmake/win32.cmake) that
# the platform's loader serves.
if(WIN32)
  file(GLOB KEYMEND_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/win32/*.cpp)
  list(APPEND KEYMEND_PLATFORM_SOURCES ${CMAKE_SOURCE_DIR}/src/platform/seams.cpp)
  keymend_module(resources resources HEADER_ONLY)
  set(KEYMEND_PLATFORM_PRIVATE keymend_resources)
else()
  file(GLOB KEYMEND_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/platform/*.cpp)
  keymend_module(resources resources)
  set(KEYMEND_PLATFORM_PRIVATE)
endif()
keymend_module(platform platform SEAMS SOURCES ${KEYMEND_PLATFORM_SOURCES}
               PRIVATE keymend_unicode ${KEYMEND_PLATFORM_PRIVATE})

keymend_module(crypto_context crypto/context SEAMS PRIVATE keymend_platform_link)
keymend_module(crypto_gost28147 crypto/gost28147 PUBLIC keymend_crypto_context_link)
keymend_module(crypto_hash crypto/hash PUBLIC keymend_crypto_context_link)
keymend_module(crypto_ec crypto/ec PUBLIC keymend_crypto_context_link)
keymend_module(crypto_sha crypto/sha PUBLIC keymend_crypto_context_link)
keymend_module(crypto_aes crypto/aes PUBLIC keymend_crypto_context_link)
keymend_module(crypto_cbc crypto/cbc PUBLIC keymend_crypto_context_link)
keymend_module(crypto_des crypto/des PUBLIC keymend_crypto_cbc)
keymend_module(crypto_rc2 crypto/rc2 PUBLIC keymend_crypto_cbc)

keymend_module(asn1 asn1 PUBLIC keymend_unicode PRIVATE keymend_crypto_context_link)
keymend_module(settings settings HEADER_ONLY PUBLIC keymend_crypto_context_link)

keymend_module(container container
               PUBLIC keymend_asn1 keymend_crypto_context_link keymend_platform_link
               PRIVATE keymend_crypto_ec keymend_crypto_gost28147 keymend_crypto_hash)
keymend_module(pkcs12 pkcs12
               PUBLIC keymend_asn1 keymend_crypto_context_link keymend_crypto_sha
               PRIVATE keymend_crypto_gost28147 keymend_crypto_hash keymend_crypto_aes
                       keymend_crypto_des keymend_crypto_rc2 keymend_crypto_cbc)
keymend_module(x509 x509 PUBLIC keymend_asn1 keymend_crypto_context_link)
keymend_module(commands commands
               PUBLIC keymend_settings keymend_crypto_context_link
               PRIVATE keymend_asn1 keymend_container keymend_pkcs12 keymend_x509
                       keymend_crypto_ec keymend_crypto_gost28147 keymend_platform_link)
keymend_module(cli cli
               PUBLIC keymend_commands keymend_settings keymend_resources
               PRIVATE keymend_asn1 keymend_crypto_context_link keymend_platform_link)

# Everything, for the tests, benchmarks and fuzz targets.
add_library(keymend_all INTERFACE)
target_link_libraries(keymend_all INTERFACE
  keymend_cli keymend_commands keymend_pkcs12 keymend_x509 keymend_container keymend_asn1 keymend_crypto_ec
  keymend_crypto_gost28147 keymend_crypto_hash keymend_crypto_sha keymend_crypto_aes
  keymend_crypto_des keymend_crypto_rc2 keymend_crypto_cbc keymend_crypto_context_link
  keymend_platform_link keymend_resources keymend_settings keymend_unicode)
