# The converter is the system's ffmpeg, reached through a link
# <folder>/Vexaro/ffmpeg (see ProgramFolders.h). The build tree gets its link
# when configuring, so programs run from the build tree convert; installing
# makes the link below VEXARO_PROGRAM_FILES_COMMON.
find_program(VEXARO_FFMPEG_PROGRAM ffmpeg DOC "The converter Vexaro links to")
if(NOT VEXARO_FFMPEG_PROGRAM)
  message(WARNING "ffmpeg not found: conversions report a launch error until "
                  "${VEXARO_PROGRAM_FILES_COMMON}/Vexaro/ffmpeg exists")
  return()
endif()

file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/lib/Vexaro")
file(CREATE_LINK "${VEXARO_FFMPEG_PROGRAM}" "${PROJECT_BINARY_DIR}/lib/Vexaro/ffmpeg" SYMBOLIC)

install(CODE "
  set(vexaro_converter_link \"\$ENV{DESTDIR}${VEXARO_PROGRAM_FILES_COMMON}/Vexaro/ffmpeg\")
  message(STATUS \"Linking: \${vexaro_converter_link} -> ${VEXARO_FFMPEG_PROGRAM}\")
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${VEXARO_PROGRAM_FILES_COMMON}/Vexaro\")
  file(CREATE_LINK \"${VEXARO_FFMPEG_PROGRAM}\" \"\${vexaro_converter_link}\" SYMBOLIC)
")
