# Tests of the payload generator and checker; plain C++, so they build without JUCE.
find_package (GTest REQUIRED)
include (GoogleTest)

add_executable (qz_payload_tests ${CMAKE_CURRENT_LIST_DIR}/PayloadTests.cpp)
target_link_libraries (qz_payload_tests PRIVATE qz_payload_check GTest::gtest_main)
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
    COMMAND qz_payload_checker ${misnamedPayload})
set_tests_properties (PayloadChecker.FailsOnAPayloadWithTheWrongHeader PROPERTIES
    WILL_FAIL TRUE
    FIXTURES_REQUIRED misnamedPayload)

add_test (NAME PayloadChecker.NamesTheFileAndOffsetOfTheFault
    COMMAND qz_payload_checker ${misnamedPayload})
set_tests_properties (PayloadChecker.NamesTheFileAndOffsetOfTheFault PROPERTIES
    PASS_REGULAR_EXPRESSION "misnamed/VR24_appga\\.syx: byte offset 2: header is F0 47 10 33 70, expected F0 47 20 33 70"
    FIXTURES_REQUIRED misnamedPayload)
