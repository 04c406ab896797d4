# Run by `cmake --install`: writes kestro-flush.service into <prefix>/lib/systemd/user/, its
# ExecStart naming <prefix>/<bindir>/kestro, with the prefix the install was given (also
# `--prefix` and DESTDIR). Expects KESTRO_FLUSH_UNIT_TEMPLATE, KESTRO_FLUSH_UNIT_BINDIR and
# KESTRO_FLUSH_UNIT_DOCDIR.
foreach(name BINDIR DOCDIR)
  if(IS_ABSOLUTE "${KESTRO_FLUSH_UNIT_${name}}")
    set(kestro_flush_unit_${name} "${KESTRO_FLUSH_UNIT_${name}}")
  else()
    set(kestro_flush_unit_${name} "${CMAKE_INSTALL_PREFIX}/${KESTRO_FLUSH_UNIT_${name}}")
  endif()
endforeach()
set(KESTRO_FLUSH_UNIT_PROGRAM "${kestro_flush_unit_BINDIR}/kestro")
set(KESTRO_FLUSH_UNIT_DOCUMENTATION "file://${kestro_flush_unit_DOCDIR}/README.md")
set(kestro_flush_unit_file "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/user/kestro-flush.service")
message(STATUS "Installing: ${kestro_flush_unit_file}")
configure_file("${KESTRO_FLUSH_UNIT_TEMPLATE}" "${kestro_flush_unit_file}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${kestro_flush_unit_file}")
