# Builds what a build given a release's folder builds before the program, then reads back
# what it embeds: pointed at the generated samples the build must stop, and given their
# release form it must pass and embed them as a release.
# cmake -DSOURCE_DIR=... -DWORK_DIR=... -DSAMPLES=... -DWRITER=... -P ReleaseBuild.cmake

function (run name)
    execute_process (COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    set (${name}Result ${result} PARENT_SCOPE)
    set (${name}Output "${output}" PARENT_SCOPE)
endfunction ()

function (configureWith payloadDir)
    set (launchers)
    find_program (ccache ccache)

    if (ccache)
        set (launchers -DCMAKE_C_COMPILER_LAUNCHER=${ccache} -DCMAKE_CXX_COMPILER_LAUNCHER=${ccache})
    endif ()

    run (configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -DCMAKE_BUILD_TYPE=Release
                   -DQZ_PAYLOAD_DIR=${payloadDir} ${launchers})

    if (NOT configureResult EQUAL 0)
        message (FATAL_ERROR "configuring with QZ_PAYLOAD_DIR=${payloadDir} failed:\n${configureOutput}")
    endif ()
endfunction ()

set (release ${WORK_DIR}/made-up-release)
file (REMOVE_RECURSE ${release})
run (write ${WRITER} ${SAMPLES} ${release})

if (NOT writeResult EQUAL 0)
    message (FATAL_ERROR "the release form of the samples could not be written:\n${writeOutput}")
endif ()

# The samples, offered as a release, stop the build before anything is embedded.
configureWith (${SAMPLES})
run (build ${CMAKE_COMMAND} --build ${WORK_DIR}/build --target qz_embedded_kind)

if (buildResult EQUAL 0 OR NOT buildOutput MATCHES "no image-valid word 78 56 34 12 at 0x0807FFFC: sample firmware")
    file (REMOVE_RECURSE ${release})
    message (FATAL_ERROR "a build given the samples as a release did not stop at the payload check:\n${buildOutput}")
endif ()

configureWith (${release})
run (build ${CMAKE_COMMAND} --build ${WORK_DIR}/build --target qz_embedded_kind)
file (REMOVE_RECURSE ${release})

if (NOT buildResult EQUAL 0)
    message (FATAL_ERROR "a build given a release's form did not build:\n${buildOutput}")
endif ()

run (kind ${WORK_DIR}/build/tests/qz_embedded_kind)

if (NOT kindOutput STREQUAL "release\n")
    message (FATAL_ERROR "a build given a release's form says it embeds: ${kindOutput}")
endif ()

message (STATUS "the samples stop a release build; their release form builds and embeds as a release")
