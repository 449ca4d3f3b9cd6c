# cmake -DOBJCOPY=... -DBINARY=file -DSTRIPPED=file -DDEBUGFILE=file [-DLINK=ON]
#       [-DBUILD_ID_DIR=dir] -P split-debug.cmake
#
# Splits a linked binary into a stripped copy and a file with its debug
# information.  With LINK the stripped copy names the debug file (a
# .gnu_debuglink, found beside it); with BUILD_ID_DIR the debug file is also
# placed as DIR/xx/yyyy.debug after the binary's build ID, where debuggers
# look for it under /usr/lib/debug/.build-id.  Every step writes only bytes
# taken from the input, so equal inputs give equal outputs.
foreach(var OBJCOPY BINARY STRIPPED DEBUGFILE)
  if(NOT ${var})
    message(FATAL_ERROR "split-debug: ${var} not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "split-debug: ${ARGN} failed (${rc})")
  endif()
endfunction()

get_filename_component(debugdir ${DEBUGFILE} DIRECTORY)
get_filename_component(debugname ${DEBUGFILE} NAME)
get_filename_component(strippeddir ${STRIPPED} DIRECTORY)
file(MAKE_DIRECTORY ${debugdir} ${strippeddir})
run(${OBJCOPY} --only-keep-debug ${BINARY} ${DEBUGFILE})
# objcopy reads the debug file from the working directory and records its
# name and checksum only, never its folder.
if(LINK)
  run(${CMAKE_COMMAND} -E chdir ${debugdir}
      ${OBJCOPY} --strip-unneeded --remove-section=.gnu_debuglink
      --add-gnu-debuglink=${debugname} ${BINARY} ${STRIPPED})
else()
  run(${OBJCOPY} --strip-unneeded ${BINARY} ${STRIPPED})
endif()

if(BUILD_ID_DIR)
  execute_process(COMMAND ${OBJCOPY} --dump-section .note.gnu.build-id=${DEBUGFILE}.note ${BINARY}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "split-debug: ${BINARY} has no build ID")
  endif()
  # The note: name size, descriptor size, type (4 bytes each), "GNU\0", then
  # the ID itself.
  file(READ ${DEBUGFILE}.note hex HEX)
  file(REMOVE ${DEBUGFILE}.note)
  string(SUBSTRING "${hex}" 32 -1 id)
  string(SUBSTRING "${id}" 0 2 head)
  string(SUBSTRING "${id}" 2 -1 rest)
  file(REMOVE_RECURSE ${BUILD_ID_DIR})
  file(MAKE_DIRECTORY ${BUILD_ID_DIR}/${head})
  file(COPY_FILE ${DEBUGFILE} ${BUILD_ID_DIR}/${head}/${rest}.debug)
endif()
