# install.cmake - what `cmake --install` puts where, and the Debian package made by cpack.
#
# Installed: librsid.so with its SONAME link and development link, rsid.h, the rsid tool and its
# man page (when the tool is built), the CMake package (find_package(rsid CONFIG) -> rsid::rsid)
# and rsid.pc, all in the GNU directories under CMAKE_INSTALL_PREFIX, and the licence as
# share/doc/rsid/copyright. Every installed file finds the others relative to itself, so
# `cmake --install build --prefix ANY` works as well as a prefix given at configure time.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(RSID_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/rsid)

install(TARGETS rsid EXPORT rsidTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT rsidTargets NAMESPACE rsid:: DESTINATION ${RSID_CMAKE_DIR})
# The licence, where Debian keeps it for every package; the CMake package points at it.
set(RSID_LICENSE_FILE ${CMAKE_INSTALL_DOCDIR}/copyright)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/rsidConfig.cmake.in
  ${PROJECT_BINARY_DIR}/rsidConfig.cmake INSTALL_DESTINATION ${RSID_CMAKE_DIR}
  PATH_VARS RSID_LICENSE_FILE)
# 0.x releases may break the ABI between minor versions; SameMajorVersion is the contract
# from 1.0 on, and the SONAME (the major number) changes with it.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/rsidConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/rsidConfig.cmake ${PROJECT_BINARY_DIR}/rsidConfigVersion.cmake
  DESTINATION ${RSID_CMAKE_DIR})

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
install(FILES ${PROJECT_BINARY_DIR}/rsid.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The command-line host, when it is part of this build. Outside the loader's own directories
# it finds librsid.so through a relative RPATH; a system install (/usr) gets none.
if(TARGET rsid_cli)
  list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" rsid_system_libdir)
  if(rsid_system_libdir EQUAL -1)
    file(RELATIVE_PATH rsid_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(rsid_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${rsid_bin_to_lib}")
  endif()
  install(TARGETS rsid_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # tests/install/consumers.sh checks that both are there.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/rsid.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/detection.schema.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/rsid)
endif()

# cpack -G DEB: one package with the library, the header, the development files and the tool.
# Its files go under the prefix this tree was configured with; configure with
# -DCMAKE_INSTALL_PREFIX=/usr for a package that belongs in /usr.
set(CPACK_PACKAGE_NAME rsid)
set(CPACK_PACKAGE_VENDOR "rsid")
set(CPACK_PACKAGE_CONTACT "rsid maintainers <maintainers@rsid.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "identification-signal generator and detector (library, header and tool)")
set(CPACK_PACKAGE_DESCRIPTION
  "librsid sends and recognises a 12-bit identifier carried as 15 audio tones (a Reed-Solomon\ncodeword over GF(16)). The package holds the shared library, its C header, the CMake and\npkg-config files for building against it, and the rsid command-line tool.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # rsid_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON) # Depends: from the binaries' own needs (dpkg-shlibdeps)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON) # shlibs file and the ldconfig trigger
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE) # copyright: installed above
include(CPack)
