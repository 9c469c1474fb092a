# install.cmake - what `cmake --install` puts where, and the Debian packages made by cpack.
#
# Installed: librsid.so and librsid-engine.so with their SONAME links and development links,
# rsid.h and rsid_engine.h, the rsid tool and its man page (when the tool is built), the CMake
# package (find_package(rsid CONFIG) -> rsid::rsid, and with COMPONENTS engine rsid::engine),
# rsid.pc and rsid-engine.pc, all in the GNU directories under CMAKE_INSTALL_PREFIX, and the
# licence as share/doc/<package>/copyright for each Debian package. Every installed file finds
# the others relative to itself, so `cmake --install build --prefix ANY` works as well as a
# prefix given at configure time.
#
# Each file belongs to one install component, and each component is one Debian package:
#   lib     librsid0         librsid.so.0 (the eight exports; no dependencies but libc and libm)
#   engine  librsid-engine0  librsid-engine.so.0 (rsid_engine.h's ABI; soxr, KissFFT)
#   dev     librsid-dev      headers, .so links, rsid.pc, rsid-engine.pc, the CMake package
#   tool    rsid             the command-line tool with its heavier dependencies
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(RSID_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/rsid)

# Debian package of each component (also its directory under share/doc).
set(RSID_PACKAGE_lib librsid0)
set(RSID_PACKAGE_engine librsid-engine0)
set(RSID_PACKAGE_dev librsid-dev)
set(RSID_PACKAGE_tool rsid)

install(TARGETS rsid EXPORT rsidTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT rsidTargets NAMESPACE rsid:: DESTINATION ${RSID_CMAKE_DIR} COMPONENT dev)

set(rsid_components lib dev)
if(TARGET rsid_engine_shared)
  list(APPEND rsid_components engine)
  install(TARGETS rsid_engine_shared EXPORT rsidEngineTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT engine NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT engine
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  # A file of its own, so that rsidConfig.cmake knows whether the engine was installed.
  install(EXPORT rsidEngineTargets NAMESPACE rsid:: DESTINATION ${RSID_CMAKE_DIR} COMPONENT dev)
endif()
if(TARGET rsid_cli)
  list(APPEND rsid_components tool)
endif()

# The licence, where Debian keeps it for every package; the CMake package points at the
# development package's.
foreach(c IN LISTS rsid_components)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE RENAME copyright COMPONENT ${c}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${RSID_PACKAGE_${c}})
endforeach()
set(RSID_LICENSE_FILE ${CMAKE_INSTALL_DATAROOTDIR}/doc/${RSID_PACKAGE_dev}/copyright)
# Debian wants a changelog in every package, compressed reproducibly (gzip -n: no name or time).
string(TIMESTAMP rsid_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${PROJECT_BINARY_DIR}/changelog "rsid (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- rsid maintainers <maintainers@rsid.invalid>  ${rsid_changelog_date}
")
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/changelog)
foreach(c IN LISTS rsid_components)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz COMPONENT ${c}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${RSID_PACKAGE_${c}})
endforeach()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/rsidConfig.cmake.in
  ${PROJECT_BINARY_DIR}/rsidConfig.cmake INSTALL_DESTINATION ${RSID_CMAKE_DIR}
  PATH_VARS RSID_LICENSE_FILE)
# 0.x releases may break the ABI between minor versions; SameMajorVersion is the contract
# from 1.0 on, and the SONAME (the major number) changes with it.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/rsidConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/rsidConfig.cmake ${PROJECT_BINARY_DIR}/rsidConfigVersion.cmake
  DESTINATION ${RSID_CMAKE_DIR} COMPONENT dev)

# rsid.pc finds the prefix from its own place (${pcfiledir}, which pkg-config sets), so it
# stays right whatever prefix the tree is installed to. GNUInstallDirs may give absolute
# directories; those are kept as they are, with the configured prefix.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(RSID_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH rsid_pc_up "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" rsid_pc_up "${rsid_pc_up}")
  set(RSID_PC_PREFIX "\${pcfiledir}/${rsid_pc_up}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(RSID_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(RSID_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/rsid.pc.in ${PROJECT_BINARY_DIR}/rsid.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/rsid.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)
if(TARGET rsid_engine_shared)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/rsid-engine.pc.in ${PROJECT_BINARY_DIR}/rsid-engine.pc
    @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/rsid-engine.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT dev)
endif()

# The command-line host, when it is part of this build. Outside the loader's own directories
# it finds librsid.so through a relative RPATH; a system install (/usr) gets none.
if(TARGET rsid_cli)
  list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" rsid_system_libdir)
  if(rsid_system_libdir EQUAL -1)
    file(RELATIVE_PATH rsid_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(rsid_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${rsid_bin_to_lib}")
  endif()
  install(TARGETS rsid_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  # tests/install/consumers.sh checks that both are there.
  execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/tools/rsid.1
    OUTPUT_FILE ${PROJECT_BINARY_DIR}/rsid.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/rsid.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT tool)
  install(FILES ${PROJECT_SOURCE_DIR}/io/records/detection.schema.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/rsid COMPONENT tool)
endif()

# cpack -G DEB: one package per component, named and split as Debian splits a library: the
# runtime libraries alone (librsid0, librsid-engine0), the files for building against them
# (librsid-dev) and the tool (rsid). Hosts that need only a library do not pull in the tool's
# dependencies. Files go under the prefix this tree was configured with; configure with
# -DCMAKE_INSTALL_PREFIX=/usr for packages that belong in /usr.
set(CPACK_PACKAGE_NAME rsid)
set(CPACK_PACKAGE_VENDOR "rsid")
set(CPACK_PACKAGE_CONTACT "rsid maintainers <maintainers@rsid.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "identification-signal generator and detector")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${rsid_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # <package>_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON) # Depends: from the binaries' own needs (dpkg-shlibdeps)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE) # copyright: installed above
set(CPACK_STRIP_FILES ON) # debugging symbols stay in the build tree
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON) # shlibs files
# The loader's cache is refreshed by dpkg's trigger, which Debian requires of a library package.
file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/triggers)
set(CPACK_DEBIAN_ENGINE_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/triggers)
set(rsid_about "rsid sends and recognises a 12-bit identifier carried as 15 audio
tones (a Reed-Solomon codeword over GF(16)).")
foreach(c IN LISTS rsid_components)
  string(TOUPPER ${c} C)
  set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${RSID_PACKAGE_${c}})
endforeach()
# Summary line, then the description, wrapped for a terminal (lintian counts 80 columns).
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_DESCRIPTION "identification-signal generator and detector (library)
${rsid_about}
This package holds librsid, the shared library with the eight functions of
rsid.h: one generator and one detector at 6000 samples/s.")
set(CPACK_DEBIAN_ENGINE_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_ENGINE_DESCRIPTION "identification-signal detection engine (library)
${rsid_about}
This package holds librsid-engine, the C API of rsid_engine.h: any number of
detectors for audio at any rate, band scanners for I/Q, and the identifier at
any rate.")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS lib)
if(TARGET rsid_engine_shared)
  list(APPEND CPACK_COMPONENT_DEV_DEPENDS engine)
  # pkg-config resolves rsid-engine.pc's Requires.private even for --cflags: their .pc files
  # must be there. (The runtime packages' Depends come from dpkg-shlibdeps.)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ${RSID_ENGINE_DEV_DEBS})
endif()
set(CPACK_DEBIAN_DEV_DESCRIPTION "identification-signal generator and detector (development files)
${rsid_about}
This package holds the C headers rsid.h and rsid_engine.h, the links to the
shared libraries, and the pkg-config and CMake files for building against them.")
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "identification-signal generator and detector (command-line tool)
${rsid_about}
This package holds the rsid command: send the identifier to a sound file; find
identifiers in sound files, live audio, I/Q recordings and SigMF; publish them
over MQTT.")
include(CPack)
