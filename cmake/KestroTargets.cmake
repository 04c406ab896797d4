# Helpers shared by the library folders. One folder is one library target, named after it.

# kestro_add_library(<target> EXPORT_NAME <name> SOURCES ... [HEADERS ...]
#                    [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# Declares one of the KestroCore libraries with its KestroCore::<name> alias. HEADERS are its
# public headers, a file set rooted at the repository root: every one is included by the same
# path in the tree and installed ("KestroCore/Foundation/UUID.h",
# "KestroCore/Platform/HTTP/URLSession.h"), under <includedir>/KestroCore/..., each library
# carrying its own, so an install never ships a header whose library is missing. Headers under
# internal/ are sources, never installed.
function(kestro_add_library target)
  cmake_parse_arguments(ARG "" "EXPORT_NAME" "SOURCES;HEADERS;PUBLIC_LIBS;PRIVATE_LIBS"
    ${ARGN})
  add_library(${target} ${ARG_SOURCES})
  add_library(KestroCore::${ARG_EXPORT_NAME} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${ARG_EXPORT_NAME}
    OUTPUT_NAME ${target}
    POSITION_INDEPENDENT_CODE ON)
  target_compile_features(${target} PUBLIC cxx_std_20)
  # Private sources and internal headers are found from the repository root too.
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  if(ARG_HEADERS)
    target_sources(${target} PUBLIC
      FILE_SET HEADERS BASE_DIRS ${PROJECT_SOURCE_DIR} FILES ${ARG_HEADERS})
  else()
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
  endif()
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  set_property(GLOBAL APPEND PROPERTY KESTRO_EXPORTED_TARGETS ${target})
endfunction()

# kestro_add_tests(<target> SOURCES ... LIBS ... [LAUNCHER <program>])
# One GoogleTest program per library; every test case is registered with CTest on its own.
# LAUNCHER runs the program (its listing of tests too) in the environment it needs, such as a
# private D-Bus session with its own keyring.
function(kestro_add_tests target)
  if(NOT KESTRO_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "LAUNCHER" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  if(ARG_LAUNCHER)
    # CMake 3.25 has no test launcher property; the emulator prefixes every test command.
    set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR "${ARG_LAUNCHER}")
  endif()
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  if(ARG_LAUNCHER)
    # Listed when the tests run, not after each link: the launcher needs what only the test
    # packages install, and a build (make build, make install) must not.
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST)
  else()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
