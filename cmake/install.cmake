# Installation and the Debian package.
#
#   cmake --install build --prefix /usr/local     the programs and man pages
#   (cd build && cpack -G DEB)                    mendrix_<version>_<arch>.deb
#
# The man pages are installed compressed where gzip is found, as Debian wants
# them; man reads both forms.
include(GNUInstallDirs)

set(MENDRIX_INSTALLED_PROGRAMS mendrix)
set(MENDRIX_MAN_PAGES mendrix.1)
if(MENDRIX_HAVE_GENERATOR)
  list(APPEND MENDRIX_INSTALLED_PROGRAMS mendrix-make)
  list(APPEND MENDRIX_MAN_PAGES mendrix-make.1)
endif()
install(TARGETS ${MENDRIX_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(WIN32)
  return()
endif()

find_program(MENDRIX_GZIP gzip)
set(man_files)
foreach(page IN LISTS MENDRIX_MAN_PAGES)
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page})
  if(MENDRIX_GZIP)
    set(packed ${CMAKE_BINARY_DIR}/man/${page}.gz)
    # -n: no name or date in the header, so the same page packs the same.
    add_custom_command(OUTPUT ${packed}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                       COMMAND ${MENDRIX_GZIP} -9 -n -c ${source} > ${packed}
                       DEPENDS ${source} VERBATIM)
    list(APPEND man_files ${packed})
  else()
    list(APPEND man_files ${source})
  endif()
endforeach()
add_custom_target(mendrix_man_pages ALL DEPENDS ${man_files})
install(FILES ${man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian wants the copyright and a changelog in the package's doc folder.
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/mendrix)
install(FILES ${PROJECT_SOURCE_DIR}/docs/debian/copyright DESTINATION ${doc_dir})
if(MENDRIX_GZIP)
  set(changelog ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
  add_custom_command(OUTPUT ${changelog}
                     COMMAND ${MENDRIX_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/docs/debian/changelog
                             > ${changelog}
                     DEPENDS ${PROJECT_SOURCE_DIR}/docs/debian/changelog VERBATIM)
  add_custom_target(mendrix_changelog ALL DEPENDS ${changelog})
  install(FILES ${changelog} DESTINATION ${doc_dir})
endif()

set(CPACK_PACKAGE_NAME mendrix)
set(CPACK_PACKAGE_VENDOR "The Mendrix developers")
set(CPACK_PACKAGE_CONTACT "The Mendrix developers <support@mendrix.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "applies binary patches to files and directory trees")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://www.mendrix.org")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Mendrix developers <support@mendrix.org>")
# The long description; CPack puts the summary above it and indents it as
# Debian wants.
set(CPACK_PACKAGE_DESCRIPTION
    "Mendrix reads a patch, finds out which version the files at hand are in,
rebuilds each new file from the old one plus the delta data and checks it
against the size and checksum the patch gives. Every result is rebuilt and
checked before anything is changed; then all results are put in place, or
none. Replaced files are kept in a backup folder.

mendrix-make makes such patches, for one file or a whole directory tree,
from one or more older versions, optionally as a self-applying program.")
include(CPack)
