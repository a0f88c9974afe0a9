# Installation (cmake --install) and the Debian package (cpack -G DEB).
#
# Installed: both programs in bin, their manual pages in share/man/man1 (compressed, as
# Debian keeps them), the resources in share/talvora-audio.

include(GNUInstallDirs)

install(TARGETS talvora-audio talvora-record RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(talvora_man_pages)
foreach(page talvora-audio.1 talvora-record.1)
  set(compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  # -n: no name or time stamp inside, so that the same page gives the same bytes.
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND sh -c "gzip -9 -n -c \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/docs/man/${page} ${compressed}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}
    COMMENT "Compressing the manual page ${page}"
    VERBATIM)
  list(APPEND talvora_man_pages ${compressed})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${talvora_man_pages})
install(FILES ${talvora_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/resources/ DESTINATION ${CMAKE_INSTALL_DATADIR}/talvora-audio)

set(CPACK_PACKAGE_NAME talvora-audio)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Talvora")
set(CPACK_PACKAGE_CONTACT "Talvora developers <developers@talvora.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "voice-note recorder with JSON events and on-device transcription")
# Lines kept short: the package's extended description is shown as written.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "talvora-audio records the default microphone into an audio file (WAV,\n"
  "CAF, AIFF, W64 or RF64; mono 32-bit float) for a parent program, which\n"
  "stops it through standard input and follows it through one JSON event\n"
  "per line, optionally with a transcript made on this computer.\n"
  ".\n"
  "talvora-record is the same recorder at a terminal, with a live level\n"
  "meter.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# The libraries come from dpkg-shlibdeps (package dpkg-dev); the speech model is data
# read at run time, which it cannot see.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pocketsphinx-en-us")
# A sound server to record from; any that speaks the PulseAudio protocol will do.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse")

include(CPack)
