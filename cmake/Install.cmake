# Installing and packaging: `cmake --install` lays out the two executables, the desktop file,
# the icons, the AppStream metainfo and the autostart template; `cpack -G DEB` makes a .deb
# of the same tree. A static whisper.cpp needs nothing from .deps; the dispatched one
# (TALLYVOX_WHISPER_DISPATCHED) brings its shared libraries and CPU kernels into lib/tallyvox.
include(GNUInstallDirs)

set(TALLYVOX_APP_ID "com.tallyvox.Tallyvox")
# The date of the release named by the project's version, for the metainfo's release list.
set(TALLYVOX_RELEASE_DATE "2026-12-08")

install(TARGETS tallyvox tallyvox-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${CMAKE_SOURCE_DIR}/data/copyright
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tallyvox)

install(FILES ${CMAKE_SOURCE_DIR}/data/tallyvox.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/src/ui/icons/tallyvox.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_SOURCE_DIR}/data/tallyvox-symbolic.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/symbolic/apps)

configure_file(${CMAKE_SOURCE_DIR}/data/${TALLYVOX_APP_ID}.metainfo.xml.in
  ${CMAKE_BINARY_DIR}/data/${TALLYVOX_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/data/${TALLYVOX_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The login item as the app writes it when "Launch at login" is turned on, for an
# administrator who wants it for every user (copy it into /etc/xdg/autostart). It is not
# installed there: starting at login is each user's choice, made in the app.
# Exec names the app without a folder: the prefix is chosen at install time.
install(FILES ${CMAKE_SOURCE_DIR}/data/tallyvox-autostart.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tallyvox/autostart RENAME tallyvox.desktop)

if(TALLYVOX_WHISPER_DISPATCHED)
  # Private to Tallyvox, beside the kernels CpuBackend loads from the same folder: nothing
  # else on the system links them, and no other whisper.cpp is taken for them.
  set(TALLYVOX_PRIVATE_LIBDIR lib/tallyvox)
  file(GLOB whisper_libraries "${TALLYVOX_WHISPER_PREFIX}/lib/libwhisper.so.*"
    "${TALLYVOX_WHISPER_PREFIX}/lib/libggml.so.*" "${TALLYVOX_WHISPER_PREFIX}/lib/libggml-base.so.*")
  install(FILES ${whisper_libraries} ${TALLYVOX_GGML_CPU_VARIANTS} ${TALLYVOX_GGML_GPU_BACKENDS}
    DESTINATION ${TALLYVOX_PRIVATE_LIBDIR})
  set_target_properties(tallyvox tallyvox-cli PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${TALLYVOX_PRIVATE_LIBDIR}")
  # dpkg-shlibdeps is told that these libraries come with the package.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${TALLYVOX_WHISPER_PREFIX}/lib")
elseif(GGML_NATIVE)
  message(STATUS "whisper.cpp was built for this machine's processor (GGML_NATIVE): "
    "a package made from this tree may not start on older processors; configure with "
    "-DTALLYVOX_WHISPER_DISPATCHED=ON (after scripts/bootstrap --dispatched) for one that runs "
    "on any x86-64 processor")
endif()

set(CPACK_PACKAGE_NAME tallyvox)
set(CPACK_PACKAGE_VENDOR "Tallyvox")
set(CPACK_PACKAGE_CONTACT "Tallyvox developers <packaging@tallyvox.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Transcribe online meetings on your own computer")
# One string: set() with several would join them as a list, with semicolons.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Tallyvox notices Zoom, Microsoft Teams and Google Meet meetings, in their desktop apps or in "
  "a tab of Chrome, Chromium, Edge, Brave or Firefox, and, with consent, transcribes them on "
  "this computer with whisper.cpp. Audio stays in memory; only text is written.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Plugins Qt loads at run time, which dpkg-shlibdeps cannot see in the executables: the
# SVG image plugin for the icons, and the platform plugins (X11; Wayland's comes with
# qt6-wayland, recommended below, without which a Wayland desktop runs us through XWayland).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, qt6-qpa-plugins")
# A sound server that speaks the PulseAudio protocol: PipeWire's, or PulseAudio itself. A
# colour emoji font, without which the PDF export draws emoji as boxes with their code. Qt's
# Wayland platform plugin.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio, fonts-noto-color-emoji, qt6-wayland")
include(CPack)
