# The Debian package, made by CPack in a native Linux build: `cpack -G DEB` in the build folder.
#
#   /usr/bin/velarin                    the command-line host
#   /usr/lib/velarin/velarin.wdx        the module (the host finds it at ../lib/velarin from its own folder)
#   /usr/lib/velarin/velarin.xml        its settings (the module reads them beside itself)
#   /usr/share/man/man1/velarin.1.gz    made by help2man from `velarin --help` and `--version`
#
# These paths are fixed rather than taken from GNUInstallDirs: a multiarch libdir would break the
# host's ../lib/velarin. Everything goes into the one component `velarin`, and only that component
# is packed, so an install rule added elsewhere (tests, benchmarks) cannot slip into the package.
# A sanitizer build is never packed: it makes no man page (and no package) at all.
if(WIN32 OR CMAKE_CROSSCOMPILING OR VELARIN_SANITIZE)
  return()
endif()

set(VELARIN_PACKAGE_COMPONENT velarin)

# The man page. Without help2man the programs still build; only packing fails, saying why.
find_program(VELARIN_HELP2MAN help2man)
find_program(VELARIN_GZIP gzip)
if(VELARIN_HELP2MAN AND VELARIN_GZIP)
  set(man_page ${CMAKE_BINARY_DIR}/man/velarin.1)
  set(man_include ${PROJECT_SOURCE_DIR}/packaging/velarin.h2m)
  add_custom_command(OUTPUT ${man_page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${VELARIN_HELP2MAN} --no-info --include=${man_include} --output=${man_page} $<TARGET_FILE:velarin>
    # -n: no name or time stamp in the gzip header, so the same page packs to the same bytes
    COMMAND ${VELARIN_GZIP} -9 -n -f ${man_page}
    DEPENDS velarin ${man_include}
    COMMENT "Generating the velarin(1) man page")
  add_custom_target(velarin_man_page ALL DEPENDS ${man_page}.gz)
  install(FILES ${man_page}.gz DESTINATION share/man/man1 COMPONENT ${VELARIN_PACKAGE_COMPONENT})
else()
  message(STATUS "help2man or gzip not found (scripts/install-deps installs them): no man page, no package")
  install(CODE "message(FATAL_ERROR \"velarin: the man page needs help2man and gzip; run scripts/install-deps and configure again\")"
          COMPONENT ${VELARIN_PACKAGE_COMPONENT})
endif()

set(VELARIN_DEB_MAINTAINER "velarin developers <velarin@localhost>" CACHE STRING
    "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velarin)
set(CPACK_PACKAGE_VENDOR "velarin developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VELARIN_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL ${VELARIN_PACKAGE_COMPONENT})
set(CPACK_DEB_COMPONENT_INSTALL OFF)
# the release build keeps its symbols; the package does not
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME velarin)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELARIN_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# the runtime libraries of the module and the host (libxml2, pugixml, zlib, the C and C++ runtimes),
# as dpkg-shlibdeps finds them
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The summary is the short description; CPack indents the long one itself.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "FictionBook 2 e-book metadata plug-in for file managers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "velarin is a content plug-in module (velarin.wdx) for file managers that load
WDX plug-ins, such as Double Commander: it shows the metadata of FictionBook 2
e-books (.fb2 files, and .zip/.fbz archives holding one) as columns - title,
authors, series, genres, language, text size, encoding and more - and edits it.
The fields come from velarin.xml beside the module.
.
The command-line program velarin loads the same module to list, show and set
the fields of books from a shell.")

include(CPack)
