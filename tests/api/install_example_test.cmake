# Installs the caption engine into a fresh prefix, builds the example host against the installed
# package alone (through its CMake package and through its pkg-config file), and runs it; runs
# the installed helper and captioner as they are, without LD_LIBRARY_PATH. Arguments: BUILD_DIR,
# SOURCE_DIR, WORK_DIR, GENERATOR, CXX_COMPILER, SANITIZE.
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                COMMAND_ERROR_IS_FATAL ANY)
# Programs of the installation run on their own: no library path from the environment.
set(bare "${CMAKE_COMMAND}" -E env --unset=LD_LIBRARY_PATH)

foreach(program bin/quorvel-caption libexec/quorvel/quorvel-caption-helper
                lib/pkgconfig/quorvel-caption-engine.pc
                lib/cmake/QuorvelCaptionEngine/QuorvelCaptionEngineConfig.cmake)
  if(NOT EXISTS "${prefix}/${program}")
    message(FATAL_ERROR "not installed: ${program}")
  endif()
endforeach()
execute_process(COMMAND ${bare} "${prefix}/bin/quorvel-caption" --version
                OUTPUT_VARIABLE version RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT version MATCHES "^quorvel-caption [0-9]+\\.[0-9]+\\.[0-9]+")
  message(FATAL_ERROR "installed quorvel-caption --version: exit ${rc}: ${version}${err}")
endif()
# The helper announces itself and ends when its input does.
execute_process(COMMAND ${bare} "${prefix}/libexec/quorvel/quorvel-caption-helper"
                INPUT_FILE /dev/null OUTPUT_VARIABLE hello RESULT_VARIABLE rc TIMEOUT 60)
if(NOT rc EQUAL 0 OR NOT hello MATCHES "\"ev\":\"hello\"")
  message(FATAL_ERROR "installed helper: exit ${rc}, output: ${hello}")
endif()

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

# The same host built with nothing but the pkg-config file; its helper variable names the
# installed helper.
find_program(PKG_CONFIG NAMES pkg-config pkgconf REQUIRED)
set(pc ${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${prefix}/lib/pkgconfig" "${PKG_CONFIG}")
execute_process(COMMAND ${pc} --modversion quorvel-caption-engine OUTPUT_VARIABLE pcVersion
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${pc} --variable=helper quorvel-caption-engine OUTPUT_VARIABLE pcHelper
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${pc} --cflags --libs quorvel-caption-engine OUTPUT_VARIABLE pcFlags
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
if(NOT pcVersion MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$" OR NOT EXISTS "${pcHelper}")
  message(FATAL_ERROR "pkg-config: version '${pcVersion}', helper '${pcHelper}'")
endif()
separate_arguments(pcFlags UNIX_COMMAND "${pcFlags}")
separate_arguments(sanitizeFlags UNIX_COMMAND "${flags}")
execute_process(COMMAND "${CXX_COMPILER}" -std=c++20 -Wall -Wextra -Werror ${sanitizeFlags}
                        "${SOURCE_DIR}/examples/caption-host/main.cpp" ${pcFlags}
                        "-Wl,-rpath,${prefix}/lib" -o "${WORK_DIR}/caption-host-pc"
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${WORK_DIR}/caption-host-pc" --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT help MATCHES "usage: caption-host")
  message(FATAL_ERROR "caption-host built with pkg-config --help: exit ${rc}, output: ${help}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
