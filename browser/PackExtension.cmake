# cmake -DSOURCE=<extension/> -DOUTPUT=<folder> -DFILES=<list> -P PackExtension.cmake
# Writes OUTPUT/chromium/ (unpacked) and OUTPUT/vexaro.xpi from one source
# tree, each with the manifest its browser wants.
file(READ "${SOURCE}/manifest.json" manifest)

set(chromium "${manifest}")
string(JSON chromium REMOVE "${chromium}" browser_specific_settings)
string(JSON chromium REMOVE "${chromium}" background scripts)

set(firefox "${manifest}")
string(JSON firefox REMOVE "${firefox}" key)
string(JSON firefox REMOVE "${firefox}" background service_worker)

foreach(variant chromium firefox)
  set(folder "${OUTPUT}/${variant}")
  file(REMOVE_RECURSE "${folder}")
  foreach(f IN LISTS FILES)
    if(NOT f STREQUAL "manifest.json")
      get_filename_component(sub "${f}" DIRECTORY)
      file(COPY "${SOURCE}/${f}" DESTINATION "${folder}/${sub}")
    endif()
  endforeach()
  file(WRITE "${folder}/manifest.json" "${${variant}}\n")
endforeach()

# A fixed time stamp keeps the package the same from build to build.
file(REMOVE "${OUTPUT}/vexaro.xpi")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar cf "${OUTPUT}/vexaro.xpi" --format=zip "--mtime=2000-01-01 00:00:00 UTC" -- ${FILES}
  WORKING_DIRECTORY "${OUTPUT}/firefox"
  RESULT_VARIABLE packed)
if(NOT packed EQUAL 0)
  message(FATAL_ERROR "packing vexaro.xpi failed")
endif()
