# Helpers shared by the library folders.

# kestro_add_library(<target> EXPORT_NAME <name> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# Declares one of the KestroCore libraries with its KestroCore::<name> alias. Headers are
# included from the repository root ("KestroCore/Foundation/UUID.h") when building and from
# the include directory once installed.
function(kestro_add_library target)
  cmake_parse_arguments(ARG "" "EXPORT_NAME" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${target} ${ARG_SOURCES})
  add_library(KestroCore::${ARG_EXPORT_NAME} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${ARG_EXPORT_NAME}
    OUTPUT_NAME ${target}
    POSITION_INDEPENDENT_CODE ON)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  set_property(GLOBAL APPEND PROPERTY KESTRO_EXPORTED_TARGETS ${target})
endfunction()

# kestro_add_tests(<target> SOURCES ... LIBS ...)
# One GoogleTest program per library; every test case is registered with CTest on its own.
function(kestro_add_tests target)
  if(NOT KESTRO_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60)
endfunction()
