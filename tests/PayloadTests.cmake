# Tests of the payload generator and checker; plain C++, so they build without JUCE.
find_package (GTest REQUIRED)
include (GoogleTest)

# The samples with what a release carries put back, for tests against the emulated unit only.
add_library (qz_release_form STATIC ${CMAKE_CURRENT_LIST_DIR}/ReleaseForm.cpp)
target_include_directories (qz_release_form PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries (qz_release_form PUBLIC qz_payload_check)

add_executable (qz_payload_tests ${CMAKE_CURRENT_LIST_DIR}/PayloadTests.cpp)
target_link_libraries (qz_payload_tests PRIVATE qz_release_form GTest::gtest_main)
target_compile_definitions (qz_payload_tests PRIVATE
    "QZ_GENERATED_PAYLOAD_DIR=\"$<TARGET_PROPERTY:qz_generated_payloads,QZ_PAYLOAD_FOLDER>\"")
add_dependencies (qz_payload_tests qz_generated_payloads)

gtest_discover_tests (qz_payload_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)

# The build-time check itself: the audio application under the graphics one's name has the
# wrong processor code, which must fail the checker.
set (misnamedPayload ${CMAKE_CURRENT_BINARY_DIR}/misnamed/VR24_appga.syx)

add_test (NAME PayloadChecker.MisnamedCopyIsMade
    COMMAND ${CMAKE_COMMAND} -E copy
        $<TARGET_PROPERTY:qz_generated_payloads,QZ_PAYLOAD_FOLDER>/VR24_appap.syx ${misnamedPayload})
set_tests_properties (PayloadChecker.MisnamedCopyIsMade PROPERTIES FIXTURES_SETUP misnamedPayload)

add_test (NAME PayloadChecker.FailsOnAPayloadWithTheWrongHeader
    COMMAND qz_payload_checker --sample ${misnamedPayload})
set_tests_properties (PayloadChecker.FailsOnAPayloadWithTheWrongHeader PROPERTIES
    WILL_FAIL TRUE
    FIXTURES_REQUIRED misnamedPayload)

add_test (NAME PayloadChecker.NamesTheFileAndOffsetOfTheFault
    COMMAND qz_payload_checker --sample ${misnamedPayload})
set_tests_properties (PayloadChecker.NamesTheFileAndOffsetOfTheFault PROPERTIES
    PASS_REGULAR_EXPRESSION "misnamed/VR24_appga\\.syx: byte offset 2: header is F0 47 10 33 70, expected F0 47 20 33 70"
    FIXTURES_REQUIRED misnamedPayload)

# Offered as a release, the samples fail the check that a build given a release's folder runs.
add_test (NAME PayloadChecker.TellsASampleOfferedAsARelease
    COMMAND qz_payload_checker --release $<TARGET_PROPERTY:qz_generated_payloads,QZ_PAYLOAD_FOLDER>/VR24_apptr.syx)
set_tests_properties (PayloadChecker.TellsASampleOfferedAsARelease PROPERTIES
    PASS_REGULAR_EXPRESSION "VR24_apptr\\.syx: record 2 at byte offset 24: no vector table at 0x08004000 .*: sample firmware is not a release")

add_executable (qz_release_form_writer ${CMAKE_CURRENT_LIST_DIR}/ReleaseFormWriter.cpp)
target_link_libraries (qz_release_form_writer PRIVATE qz_release_form)

add_executable (qz_embedded_kind ${CMAKE_CURRENT_LIST_DIR}/EmbeddedKind.cpp)
target_link_libraries (qz_embedded_kind PRIVATE qz_resources)

# A whole configure and the build up to the embedded payloads, about half a minute: the one
# way to see what a build given QZ_PAYLOAD_DIR does with what it is given.
if (NOT CMAKE_CROSSCOMPILING)
    add_test (NAME ReleaseBuild.StopsAtTheSamplesAndEmbedsAReleaseAsOne
        COMMAND ${CMAKE_COMMAND}
            -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
            -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/release-build
            -DSAMPLES=$<TARGET_PROPERTY:qz_generated_payloads,QZ_PAYLOAD_FOLDER>
            -DWRITER=$<TARGET_FILE:qz_release_form_writer>
            -P ${CMAKE_CURRENT_LIST_DIR}/ReleaseBuild.cmake)
    set_tests_properties (ReleaseBuild.StopsAtTheSamplesAndEmbedsAReleaseAsOne PROPERTIES TIMEOUT 900)
endif ()
