# Installs the caption engine into a fresh prefix, builds the example host against the installed
# package alone, and runs it. Arguments: BUILD_DIR, SOURCE_DIR, WORK_DIR, GENERATOR,
# CXX_COMPILER, SANITIZE.
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                        --component QuorvelCaptionEngine
                COMMAND_ERROR_IS_FATAL ANY)

foreach(header caption_engine/api/caption_engine.h caption_engine/api/apple_caption_engine.h
               caption_engine/base/caption_state.h caption_engine/base/caption_audio_source.h)
  if(NOT EXISTS "${prefix}/include/quorvel/${header}")
    message(FATAL_ERROR "not installed: include/quorvel/${header}")
  endif()
endforeach()
# Internal headers stay out of the installation.
if(EXISTS "${prefix}/include/quorvel/caption_engine/runtime/caption_engine_core.h" OR
   EXISTS "${prefix}/include/quorvel/caption_engine/api/caption_engine_event_relay.h")
  message(FATAL_ERROR "internal headers were installed")
endif()

set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/examples/caption-host"
                        -B "${WORK_DIR}/build" -G "${GENERATOR}"
                        "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
                        "-DCMAKE_PREFIX_PATH=${prefix}"
                        "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror ${flags}"
                        "-DCMAKE_EXE_LINKER_FLAGS=${flags}"
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK_DIR}/build"
                COMMAND_ERROR_IS_FATAL ANY)

execute_process(COMMAND "${WORK_DIR}/build/caption-host" --help
                OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT help MATCHES "usage: caption-host")
  message(FATAL_ERROR "caption-host --help: exit ${rc}, output: ${help}")
endif()
execute_process(COMMAND "${WORK_DIR}/build/caption-host" --list-inputs
                OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT listing MATCHES "captions (available|unavailable)")
  message(FATAL_ERROR "caption-host --list-inputs: exit ${rc}, output: ${listing}")
endif()
message(STATUS "caption-host --list-inputs:\n${listing}")
file(REMOVE_RECURSE "${WORK_DIR}")
