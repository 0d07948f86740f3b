# What `cmake --install` puts beside the programs, and the packages CPack
# makes of it: a .deb from the Linux build (`cmake --build build --target
# package`), a zip from the Windows cross build (target package_win64).

# The docs keep their folders, so that the links between them still work.
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")

set(CPACK_PACKAGE_NAME tuvolink)
set(CPACK_PACKAGE_VENDOR "tuvolink")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "pack a program and its data files into one self-extracting package")
# Lines for the Description field of the .deb: under 80 columns.
set(CPACK_PACKAGE_DESCRIPTION "\
tuvolink writes a package that starts with the extractor stub tuvo.exe and
holds a program and its data files, each run-length coded. Run the package
and the stub checks it, extracts the files into a private temporary folder,
runs the program there and cleans up.")

if(WIN32)
  # One flat folder: the cross build installs tuvolink.exe there (see the
  # top CMakeLists.txt), and tuvolink.exe takes the stub from beside itself.
  install(TARGETS tuvo_stub RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tuvolink-${PROJECT_VERSION}-win64)
else()
  install(FILES docs/tuvolink.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(TUVOLINK_MAINTAINER "tuvolink maintainers <maintainers@tuvolink.invalid>"
      CACHE STRING "The Maintainer field of the .deb")
  if(TARGET tuvolink_win64)
    string(APPEND CPACK_PACKAGE_DESCRIPTION
           "\nThe Windows stub is included, to make Windows packages on Linux.")
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TUVOLINK_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Stripped as Debian ships programs: the stub, at the head of every
  # package, loses about a sixth of its size.
  set(CPACK_STRIP_FILES ON)
  # The Depends field from the shared libraries the programs link
  # (dpkg-shlibdeps): the C and C++ runtimes.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
