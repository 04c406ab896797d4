# Install rules: the libraries, their public headers, the CMake package KestroCore and the
# pkg-config file kestrocore. Included by the top-level CMakeLists.txt after every library
# folder, so that KESTRO_EXPORTED_TARGETS is complete.

include(CMakePackageConfigHelpers)

set(KESTRO_CMAKE_PACKAGE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/KestroCore")
set(KESTRO_PKGCONFIG_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

get_property(KESTRO_INSTALLED_TARGETS GLOBAL PROPERTY KESTRO_EXPORTED_TARGETS)
if(NOT KESTRO_INSTALLED_TARGETS)
  message(FATAL_ERROR "KestroInstall.cmake: no library registered in KESTRO_EXPORTED_TARGETS")
endif()

# ---- Dependencies

# What consumers must find for each thing a library links: the line that finds it in
# KestroCoreConfig.cmake, and its pkg-config module for kestrocore.pc ("" for none). Only what
# some installed library links goes into the package, so a library that an option leaves out
# leaves its dependencies out too. A library that links anything not listed here stops the
# configuration, rather than producing a package that fails in its consumers.
set(KESTRO_DEPENDENCY_ITEMS "")
function(kestro_package_dependency item config_line pkg_config_module)
  string(MAKE_C_IDENTIFIER "${item}" key)
  set(KESTRO_DEPENDENCY_CONFIG_${key} "${config_line}" PARENT_SCOPE)
  set(KESTRO_DEPENDENCY_PKG_CONFIG_${key} "${pkg_config_module}" PARENT_SCOPE)
  set(KESTRO_DEPENDENCY_ITEMS ${KESTRO_DEPENDENCY_ITEMS} "${item}" PARENT_SCOPE)
endfunction()

kestro_package_dependency(nlohmann_json::nlohmann_json
  "find_dependency(nlohmann_json 3.10)" nlohmann_json)
kestro_package_dependency(simdjson::simdjson "find_dependency(simdjson 3)" simdjson)
kestro_package_dependency(OpenSSL::Crypto "find_dependency(OpenSSL 3 COMPONENTS Crypto)" libcrypto)
kestro_package_dependency(SQLite::SQLite3 "find_dependency(SQLite3)" sqlite3)
kestro_package_dependency(CURL::libcurl "find_dependency(CURL)" libcurl)
kestro_package_dependency(Threads::Threads "find_dependency(Threads)" "")
kestro_package_dependency(PkgConfig::GLIB "kestro_find_pkg_config_dependency(GLIB glib-2.0)"
  glib-2.0)
kestro_package_dependency(PkgConfig::LIBSECRET
  "kestro_find_pkg_config_dependency(LIBSECRET libsecret-1)" libsecret-1)

# Sets <used> to the dependencies that the installed targets link, and <public> to those among
# them that reach consumers' compilations: in a target's usage requirements other than as
# $<LINK_ONLY:...>, which is how a static library passes on its private dependencies.
function(kestro_linked_dependencies used public)
  set(used_items "")
  set(public_items "")
  foreach(target IN LISTS KESTRO_INSTALLED_TARGETS)
    get_target_property(link_libraries ${target} LINK_LIBRARIES)
    get_target_property(interface_link_libraries ${target} INTERFACE_LINK_LIBRARIES)
    if(NOT link_libraries)
      set(link_libraries "")
    endif()
    if(NOT interface_link_libraries)
      set(interface_link_libraries "")
    endif()
    foreach(entry IN LISTS link_libraries interface_link_libraries)
      if(entry MATCHES "^\\$<")
        # Inside a generator expression only imported (Namespace::Name) targets are seen.
        string(REGEX MATCHALL "[A-Za-z0-9_.+-]+::[A-Za-z0-9_.+-]+" items "${entry}")
      else()
        set(items "${entry}")
      endif()
      foreach(item IN LISTS items)
        if(item MATCHES "^KestroCore::" OR item IN_LIST KESTRO_INSTALLED_TARGETS)
          continue()
        endif()
        if(NOT item IN_LIST KESTRO_DEPENDENCY_ITEMS)
          message(FATAL_ERROR "KestroInstall.cmake: ${target} links ${item}, which the installed "
            "package would not know how to find; add it with kestro_package_dependency().")
        endif()
        list(APPEND used_items "${item}")
        if(entry IN_LIST interface_link_libraries AND NOT entry MATCHES "^\\$<LINK_ONLY:")
          list(APPEND public_items "${item}")
        endif()
      endforeach()
    endforeach()
  endforeach()
  set(${used} "${used_items}" PARENT_SCOPE)
  set(${public} "${public_items}" PARENT_SCOPE)
endfunction()

kestro_linked_dependencies(kestro_used_dependencies kestro_public_dependencies)

set(KESTRO_CONFIG_DEPENDENCIES "")
set(KESTRO_PC_REQUIRES "")
set(kestro_private_modules "")
foreach(kestro_item IN LISTS KESTRO_DEPENDENCY_ITEMS)
  if(NOT kestro_item IN_LIST kestro_used_dependencies)
    continue()
  endif()
  string(MAKE_C_IDENTIFIER "${kestro_item}" kestro_key)
  string(APPEND KESTRO_CONFIG_DEPENDENCIES "${KESTRO_DEPENDENCY_CONFIG_${kestro_key}}\n")
  set(kestro_module "${KESTRO_DEPENDENCY_PKG_CONFIG_${kestro_key}}")
  if(kestro_module STREQUAL "")
    continue()
  endif()
  # Only dependencies whose headers ours include go into Requires, whose Cflags consumers get.
  # A private one (libsecret, GLib, libcurl, SQLite) is named by its link flags alone, so that its
  # include directories are never pushed on consumers: in Libs with static libraries (the default:
  # a static archive does not carry its own dependencies), in Libs.private with shared ones.
  if(kestro_item IN_LIST kestro_public_dependencies)
    list(APPEND KESTRO_PC_REQUIRES "${kestro_module}")
  else()
    list(APPEND kestro_private_modules "${kestro_module}")
  endif()
endforeach()
list(REMOVE_DUPLICATES KESTRO_PC_REQUIRES)
list(JOIN KESTRO_PC_REQUIRES " " KESTRO_PC_REQUIRES)
set(KESTRO_PC_PRIVATE_LIBS "")
if(kestro_private_modules)
  find_package(PkgConfig REQUIRED)
  list(REMOVE_DUPLICATES kestro_private_modules)
  pkg_check_modules(KESTRO_PC_PRIVATE QUIET REQUIRED ${kestro_private_modules})
  list(JOIN KESTRO_PC_PRIVATE_LDFLAGS " " KESTRO_PC_PRIVATE_LIBS)
endif()
if(BUILD_SHARED_LIBS)
  set(KESTRO_PC_LIBS_PRIVATE "${KESTRO_PC_PRIVATE_LIBS}")
  set(KESTRO_PC_PRIVATE_LIBS "")
else()
  set(KESTRO_PC_LIBS_PRIVATE "")
endif()

# ---- Libraries and headers

# Every library and the INTERFACE umbrella in one export set. The umbrella has no file to
# install; it still has to be in the set, or consumers would not get KestroCore::KestroCore
# and its link to the libraries. Each library installs its own public headers (its HEADERS file
# set), so a configuration that leaves a library out leaves its headers out too; installing a
# file set also puts its destination on the exported target's include path.
foreach(kestro_target IN LISTS KESTRO_INSTALLED_TARGETS)
  get_target_property(kestro_type ${kestro_target} TYPE)
  if(kestro_type STREQUAL "INTERFACE_LIBRARY")
    install(TARGETS ${kestro_target} EXPORT KestroCoreTargets)
    continue()
  endif()
  install(TARGETS ${kestro_target}
    EXPORT KestroCoreTargets
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
    FILE_SET HEADERS DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
endforeach()

# ---- CMake package

install(EXPORT KestroCoreTargets
  FILE KestroCoreTargets.cmake
  NAMESPACE KestroCore::
  DESTINATION "${KESTRO_CMAKE_PACKAGE_DIR}")

configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/KestroCoreConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/KestroCoreConfig.cmake"
  INSTALL_DESTINATION "${KESTRO_CMAKE_PACKAGE_DIR}")
write_basic_package_version_file(
  "${PROJECT_BINARY_DIR}/KestroCoreConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
    "${PROJECT_BINARY_DIR}/KestroCoreConfig.cmake"
    "${PROJECT_BINARY_DIR}/KestroCoreConfigVersion.cmake"
  DESTINATION "${KESTRO_CMAKE_PACKAGE_DIR}")

# ---- pkg-config

# -l flags of the libraries, the dependent ones first: a library registers after the libraries it
# links, so the reversed registration order is a valid static link order.
set(KESTRO_PC_LIBS "")
foreach(kestro_target IN LISTS KESTRO_INSTALLED_TARGETS)
  get_target_property(kestro_type ${kestro_target} TYPE)
  if(NOT kestro_type STREQUAL "INTERFACE_LIBRARY")
    get_target_property(kestro_output_name ${kestro_target} OUTPUT_NAME)
    if(NOT kestro_output_name)
      set(kestro_output_name ${kestro_target})
    endif()
    string(PREPEND KESTRO_PC_LIBS " -l${kestro_output_name}")
  endif()
endforeach()
string(STRIP "${KESTRO_PC_LIBS}" KESTRO_PC_LIBS)

# The .pc file finds the prefix from its own location, so the tree still works when installed
# with `cmake --install --prefix` somewhere else than CMAKE_INSTALL_PREFIX.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KESTRO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH kestro_pc_to_prefix "/prefix/${KESTRO_PKGCONFIG_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" kestro_pc_to_prefix "${kestro_pc_to_prefix}")
  set(KESTRO_PC_PREFIX "\${pcfiledir}/${kestro_pc_to_prefix}")
endif()
foreach(kestro_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kestro_dir}}")
    set(KESTRO_PC_${kestro_dir} "${CMAKE_INSTALL_${kestro_dir}}")
  else()
    set(KESTRO_PC_${kestro_dir} "\${prefix}/${CMAKE_INSTALL_${kestro_dir}}")
  endif()
endforeach()

# Every header is included as "KestroCore/...", from <includedir>, in the tree and installed alike.
set(KESTRO_PC_CFLAGS "-I\${includedir}")

configure_file("${CMAKE_CURRENT_LIST_DIR}/kestrocore.pc.in" "${PROJECT_BINARY_DIR}/kestrocore.pc"
  @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/kestrocore.pc" DESTINATION "${KESTRO_PKGCONFIG_DIR}")
