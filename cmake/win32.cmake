# keymend.exe: the string table as English and Russian resources, generated at build time from
# src/resources/string_table.cpp by a small program built with the host's compiler.
find_program(KEYMEND_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
set(KEYMEND_RC_GENERATOR ${CMAKE_BINARY_DIR}/string_table_rc)
set(KEYMEND_RC ${CMAKE_BINARY_DIR}/string_table.rc)
add_custom_command(
  OUTPUT ${KEYMEND_RC}
  COMMAND ${KEYMEND_HOST_CXX} -std=c++20 -O1 -I${CMAKE_SOURCE_DIR}/src
          ${CMAKE_SOURCE_DIR}/cmake/string_table_rc.cpp
          ${CMAKE_SOURCE_DIR}/src/resources/string_table.cpp -o ${KEYMEND_RC_GENERATOR}
  COMMAND ${KEYMEND_RC_GENERATOR} ${KEYMEND_RC}
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/string_table_rc.cpp
          ${CMAKE_SOURCE_DIR}/src/resources/string_table.cpp
          ${CMAKE_SOURCE_DIR}/src/resources/string_table.h
  COMMENT "Generating the Windows string table resources"
  VERBATIM)
enable_language(RC)
target_sources(keymend PRIVATE ${KEYMEND_RC})
# The random source and the resource loader.
target_link_libraries(keymend_platform PUBLIC advapi32)
# The entry is wmain, which receives the command line in UTF-16 (src/main.cpp).
target_compile_options(keymend PRIVATE -municode)
target_link_options(keymend PRIVATE -municode)
