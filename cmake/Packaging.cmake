# What a player installs, made by CPack (scripts/package runs it):
#   Linux    orvlauncher_<version>_amd64.deb: the program and its packing
#            library in /usr/lib/orvlauncher, the start command
#            /usr/bin/orvlauncher, a desktop entry, the icon, a manual page
#   Windows  OrvLauncher-<version>-win64.zip (or -win32): OrvLauncher.exe,
#            unpack.dll and a Japanese read-me, nothing else
# The version is the project's.

set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(generated ${PROJECT_BINARY_DIR}/packaging)
# Installed folders are 755 whatever the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_PACKAGE_NAME OrvLauncher)
set(CPACK_PACKAGE_VENDOR "The OrvLauncher developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "launcher and patcher of the Orv online game")
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/build/packages)

if(WIN32)
  install(TARGETS OrvLauncher RUNTIME DESTINATION .)
  install(TARGETS unpack RUNTIME DESTINATION .)
  # The read-me in Shift_JIS with CR LF line ends, as Windows' own editor
  # shows a Japanese text file best.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${packaging}/windows/readme.txt)
  file(READ ${packaging}/windows/readme.txt readme)
  string(CONFIGURE "${readme}" readme @ONLY)
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${generated}/readme-utf8.txt "${readme}")
  execute_process(COMMAND iconv -f UTF-8 -t CP932
                  INPUT_FILE ${generated}/readme-utf8.txt
                  OUTPUT_FILE ${generated}/readme.txt
                  RESULT_VARIABLE converted)
  if(NOT converted EQUAL 0)
    message(FATAL_ERROR "the read-me has a character without a Shift_JIS form")
  endif()
  install(FILES ${generated}/readme.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME OrvLauncher-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME OrvLauncher-${PROJECT_VERSION}-win32)
  endif()
else()
  set(private lib/orvlauncher)
  # The launcher loads libunpack.so from beside itself.
  install(TARGETS OrvLauncher RUNTIME DESTINATION ${private})
  install(TARGETS unpack LIBRARY DESTINATION ${private})

  configure_file(${packaging}/linux/orvlauncher.in ${generated}/orvlauncher @ONLY)
  install(PROGRAMS ${generated}/orvlauncher DESTINATION bin)
  install(FILES ${packaging}/linux/orvlauncher.desktop DESTINATION share/applications)
  install(FILES ${packaging}/icons/orvlauncher.svg DESTINATION share/icons/hicolor/scalable/apps)
  foreach(size 16 24 32 48 64 128 256)
    install(FILES ${packaging}/icons/orvlauncher-${size}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME orvlauncher.png)
  endforeach()

  # The manual page and the changelog, compressed as Debian keeps them
  # (gzip -9n: the same bytes on every build).
  string(TIMESTAMP ORV_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${packaging}/linux/orvlauncher.1.in ${generated}/orvlauncher.1 @ONLY)
  configure_file(${packaging}/linux/changelog.in ${generated}/changelog @ONLY)
  foreach(file orvlauncher.1 changelog)
    execute_process(COMMAND gzip -9nf ${generated}/${file})
  endforeach()
  install(FILES ${generated}/orvlauncher.1.gz DESTINATION share/man/man1)
  install(FILES ${generated}/changelog.gz ${packaging}/linux/copyright
          DESTINATION share/doc/orvlauncher)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME orvlauncher)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "OrvLauncher developers <launcher@orv.example>")
  # Debian's section "games" is for games in /usr/games; a launcher that
  # starts one is not itself a game.
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The summary above is the first line; this is the rest.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Keeps several publisher accounts, brings the installed Orv game client up\n\
to the patch server's version one step at a time, signs the chosen account\n\
in for a one-time password and starts the game with it. Windows game\n\
clients are started through wine.")
  # The dependencies are those of the binaries, found by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Windows game clients start through wine, the home page through
  # xdg-open, and the window's texts want a Japanese font.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "wine, xdg-utils, fonts-ipafont-gothic | fonts-noto-cjk")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
