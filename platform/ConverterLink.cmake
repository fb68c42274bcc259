# The converter is the system's ffmpeg, reached through a link
# <libexec>/Vexaro/ffmpeg that programs find from their own folder (see
# ProgramFolders.h): <prefix>/bin/<program> looks in <prefix>/<libexecdir>.
# The build tree mirrors that for its programs (build/<folder>/<program>) with
# a link made when configuring; installing makes the link below the install
# prefix given at install time, so `cmake --install --prefix` and DESTDIR work.
file(RELATIVE_PATH VEXARO_LIBEXEC_FROM_BIN "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBEXECDIR}")
if(VEXARO_LIBEXEC_FROM_BIN STREQUAL "")
  set(VEXARO_LIBEXEC_FROM_BIN ".")
endif()
target_compile_definitions(vexaro_platform PRIVATE VEXARO_LIBEXEC_FROM_BIN="${VEXARO_LIBEXEC_FROM_BIN}")

cmake_path(ABSOLUTE_PATH VEXARO_LIBEXEC_FROM_BIN BASE_DIRECTORY "${PROJECT_BINARY_DIR}/startup" NORMALIZE
           OUTPUT_VARIABLE vexaro_build_libexec)
# The build tree's converter link, for tests that need the real converter.
set(VEXARO_BUILD_CONVERTER "${vexaro_build_libexec}/Vexaro/ffmpeg" CACHE INTERNAL "")

find_program(VEXARO_FFMPEG_PROGRAM ffmpeg DOC "The converter Vexaro links to")
if(NOT VEXARO_FFMPEG_PROGRAM)
  message(WARNING "ffmpeg not found: conversions report a launch error until "
                  "<prefix>/${CMAKE_INSTALL_LIBEXECDIR}/Vexaro/ffmpeg exists")
  return()
endif()

file(MAKE_DIRECTORY "${vexaro_build_libexec}/Vexaro")
file(CREATE_LINK "${VEXARO_FFMPEG_PROGRAM}" "${VEXARO_BUILD_CONVERTER}" SYMBOLIC)

# CMAKE_INSTALL_PREFIX is read when installing, so --prefix takes effect.
install(CODE "
  set(vexaro_libexec \"${CMAKE_INSTALL_LIBEXECDIR}\")
  if(NOT IS_ABSOLUTE \"\${vexaro_libexec}\")
    set(vexaro_libexec \"\${CMAKE_INSTALL_PREFIX}/\${vexaro_libexec}\")
  endif()
  set(vexaro_converter_link \"\$ENV{DESTDIR}\${vexaro_libexec}/Vexaro/ffmpeg\")
  message(STATUS \"Linking: \${vexaro_converter_link} -> ${VEXARO_FFMPEG_PROGRAM}\")
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${vexaro_libexec}/Vexaro\")
  file(CREATE_LINK \"${VEXARO_FFMPEG_PROGRAM}\" \"\${vexaro_converter_link}\" SYMBOLIC)
")
