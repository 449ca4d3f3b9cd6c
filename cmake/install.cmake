# Installation and packages.
#
#   cmake --install build/<arch> --prefix DIR    the module, the tool, the header,
#                                                the docs, the man page, completion
#   cpack (through scripts/package)              tarball and Debian packages
#
# Installed binaries are stripped; their debug information is installed
# apart: the module's beside it (qira.so.debug, named by its debug link),
# the tool's in the build-ID tree under lib/debug.  The `dist` target makes
# the stripped binaries and debug files in build/<arch>/dist.
#
# Components: `module` (qira.so and its debug file, one package per
# architecture, installable side by side) and `tool` (everything else).

find_program(QIRA_OBJCOPY NAMES objcopy REQUIRED)

set(QIRA_DIST ${CMAKE_BINARY_DIR}/dist)

add_custom_command(
  OUTPUT ${QIRA_DIST}/qira.so ${QIRA_DIST}/qira.so.debug
  COMMAND ${CMAKE_COMMAND} -DOBJCOPY=${QIRA_OBJCOPY} -DBINARY=$<TARGET_FILE:qira>
          -DSTRIPPED=${QIRA_DIST}/qira.so -DDEBUGFILE=${QIRA_DIST}/qira.so.debug -DLINK=ON
          -P ${CMAKE_SOURCE_DIR}/cmake/split-debug.cmake
  DEPENDS qira ${CMAKE_SOURCE_DIR}/cmake/split-debug.cmake
  COMMENT "Splitting qira.so into a stripped module and its debug file"
  VERBATIM)
add_custom_target(qira_dist_module ALL DEPENDS ${QIRA_DIST}/qira.so ${QIRA_DIST}/qira.so.debug)

set(qira_dist_outputs ${QIRA_DIST}/qira.so ${QIRA_DIST}/qira.so.debug)
if(TARGET qira_tool)
  add_custom_command(
    OUTPUT ${QIRA_DIST}/bin/qira ${QIRA_DIST}/qira.debug
    COMMAND ${CMAKE_COMMAND} -DOBJCOPY=${QIRA_OBJCOPY} -DBINARY=$<TARGET_FILE:qira_tool>
            -DSTRIPPED=${QIRA_DIST}/bin/qira -DDEBUGFILE=${QIRA_DIST}/qira.debug
            -DBUILD_ID_DIR=${QIRA_DIST}/build-id
            -P ${CMAKE_SOURCE_DIR}/cmake/split-debug.cmake
    DEPENDS qira_tool ${CMAKE_SOURCE_DIR}/cmake/split-debug.cmake
    COMMENT "Splitting qira into a stripped program and its debug file"
    VERBATIM)
  list(APPEND qira_dist_outputs ${QIRA_DIST}/bin/qira ${QIRA_DIST}/qira.debug)
endif()
add_custom_target(dist ALL DEPENDS ${qira_dist_outputs})

# ---- what goes where ------------------------------------------------------------
set(QIRA_MODULE_DIR ${CMAKE_INSTALL_LIBDIR}/qira)
install(FILES ${QIRA_DIST}/qira.so DESTINATION ${QIRA_MODULE_DIR} COMPONENT module
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${QIRA_DIST}/qira.so.debug DESTINATION ${QIRA_MODULE_DIR} COMPONENT module
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

if(TARGET qira_tool)
  install(PROGRAMS ${QIRA_DIST}/bin/qira DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  # The debug tree lies under lib/ whatever the library folder is: that is
  # where debuggers look for it.
  install(DIRECTORY ${QIRA_DIST}/build-id/ DESTINATION lib/debug/.build-id COMPONENT tool
          FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  install(FILES ${CMAKE_SOURCE_DIR}/tools/qira.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          RENAME qira COMPONENT tool)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/include/qira.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT tool)
install(FILES ${CMAKE_SOURCE_DIR}/docs/qira.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT tool)
file(GLOB qira_docs ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${qira_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT tool)

# ---- packages ---------------------------------------------------------------------
if(QIRA_ARCH STREQUAL i386)
  set(QIRA_DEB_ARCH i386)
else()
  set(QIRA_DEB_ARCH amd64)
endif()

set(CPACK_PACKAGE_NAME qira)
set(CPACK_PACKAGE_VERSION ${QIRA_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "qira developers")
set(CPACK_PACKAGE_CONTACT "qira developers <qira@localhost>")
set(CPACK_PACKAGE_FILE_NAME qira-${QIRA_PACKAGE_VERSION}-${QIRA_ARCH})
set(CPACK_STRIP_FILES OFF)  # stripped already, with the debug link kept
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)  # one tarball with everything
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL module tool)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QIRA_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_VERSION ${QIRA_PACKAGE_VERSION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The first line of a component's description is its package's summary.

# The module needs only the C library (checked by the tests: it imports
# nothing else).  CPack has no Multi-Arch setting; it writes its fields a line
# each, so the field follows the section on a line of its own.  scripts/package
# checks that it arrived.
set(CPACK_DEBIAN_MODULE_PACKAGE_NAME qira-module)
set(CPACK_DEBIAN_MODULE_PACKAGE_SECTION "libs\nMulti-Arch: same")
set(CPACK_DEBIAN_MODULE_PACKAGE_DEPENDS "libc6 (>= 2.34)")
set(CPACK_COMPONENT_MODULE_DESCRIPTION "qira extension module for the scripting host
The loadable module qira.so: the types QIRAdirectory and QIRAdirectoryentry,
through which scripts list directories, read and change entries, and copy
or move files without blocking the host.  Installable for several
architectures side by side; the debug information lies beside the module.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME qira)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS
    "qira-module (= ${QIRA_PACKAGE_VERSION}), libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
set(CPACK_COMPONENT_TOOL_DESCRIPTION "command-line tool for the qira module
The qira program lists, examines, creates, renames, dates, copies and moves
directory entries through the qira module, with the C header for host
authors, the reference for script authors, a man page and bash completion.")

include(CPack)
