# Makes the Debian package with `cpack -G DEB`, checks what it declares and holds, then unpacks it
# into a fresh directory and runs what it installs as a user would, without LD_LIBRARY_PATH: the
# helper (it announces itself), and the captioner on a real recording (when the build has a
# recognizer). Arguments: BUILD_DIR, WORK_DIR, RECORDING, HAS_RECOGNIZER.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND cpack -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}"
                OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
file(GLOB debs "${WORK_DIR}/*.deb")
list(LENGTH debs count)
if(NOT rc EQUAL 0 OR NOT count EQUAL 1)
  message(FATAL_ERROR "cpack -G DEB: exit ${rc}, packages: ${debs}\n${out}${err}")
endif()
set(deb "${debs}")

execute_process(COMMAND dpkg-deb --field "${deb}" Package Depends
                OUTPUT_VARIABLE fields COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "${deb}:\n${fields}")
# What the programs link against or load comes with the package's dependencies, and so does the
# model.
set(needed "libavformat" "libavcodec" "libswresample" "libpulse0" "libc6")
if(HAS_RECOGNIZER)
  list(APPEND needed "libpocketsphinx3" "pocketsphinx-en-us")
endif()
foreach(dependency ${needed})
  if(NOT fields MATCHES "${dependency}")
    message(FATAL_ERROR "the package does not depend on ${dependency}:\n${fields}")
  endif()
endforeach()

execute_process(COMMAND dpkg-deb --contents "${deb}" OUTPUT_VARIABLE contents
                COMMAND_ERROR_IS_FATAL ANY)
foreach(file usr/bin/quorvel-caption usr/libexec/quorvel/quorvel-caption-helper
             usr/lib/libquorvel-caption-engine.so usr/lib/pkgconfig/quorvel-caption-engine.pc
             usr/lib/cmake/QuorvelCaptionEngine/QuorvelCaptionEngineConfig.cmake
             usr/include/quorvel/caption_engine/api/caption_engine.h)
  if(NOT contents MATCHES " \\./${file}")
    message(FATAL_ERROR "the package lacks /${file}:\n${contents}")
  endif()
endforeach()

set(root "${WORK_DIR}/root")
execute_process(COMMAND dpkg-deb --extract "${deb}" "${root}" COMMAND_ERROR_IS_FATAL ANY)
set(bare "${CMAKE_COMMAND}" -E env --unset=LD_LIBRARY_PATH)
execute_process(COMMAND ${bare} "${root}/usr/libexec/quorvel/quorvel-caption-helper"
                INPUT_FILE /dev/null OUTPUT_VARIABLE hello RESULT_VARIABLE rc TIMEOUT 60)
if(NOT rc EQUAL 0 OR NOT hello MATCHES "\"ev\":\"hello\"")
  message(FATAL_ERROR "packaged helper: exit ${rc}, output: ${hello}")
endif()
execute_process(COMMAND ${bare} "${root}/usr/bin/quorvel-caption" --version
                OUTPUT_VARIABLE version RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT version MATCHES "^quorvel-caption ")
  message(FATAL_ERROR "packaged quorvel-caption --version: exit ${rc}: ${version}${err}")
endif()
if(HAS_RECOGNIZER AND EXISTS "${RECORDING}")
  execute_process(COMMAND ${bare} "${root}/usr/bin/quorvel-caption" --unpaced --json "${RECORDING}"
                  OUTPUT_VARIABLE lines ERROR_VARIABLE err RESULT_VARIABLE rc TIMEOUT 120)
  if(NOT rc EQUAL 0 OR NOT lines MATCHES "^{\"text\":\"[A-Za-z]")
    message(FATAL_ERROR "packaged quorvel-caption on ${RECORDING}: exit ${rc}\n${lines}${err}")
  endif()
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
