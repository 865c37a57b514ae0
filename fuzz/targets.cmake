# libFuzzer targets, included by cmake/Sanitizers.cmake once the core is defined
# (configure with -DZENTAVO_FUZZ=ON and clang). Run them with scripts/fuzz.sh.
set(FUZZ_DIR ${PROJECT_SOURCE_DIR}/fuzz)

# Certificate field extraction and form filling on arbitrary bytes.
add_executable(fuzz_certificate ${FUZZ_DIR}/fuzz_certificate.cpp)
target_link_libraries(fuzz_certificate PRIVATE zentavo_core PkgConfig::PCSC)
target_compile_definitions(fuzz_certificate PRIVATE ZENTAVO_TESTDATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
target_link_options(fuzz_certificate PRIVATE -fsanitize=fuzzer)

# Arbitrary card answers to every card operation, through the PC/SC fake.
add_executable(fuzz_card_answers ${FUZZ_DIR}/fuzz_card_answers.cpp ${FUZZ_DIR}/cardscript.h ${PROJECT_SOURCE_DIR}/tests/fake/fakepcsc.cpp)
target_include_directories(fuzz_card_answers PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(fuzz_card_answers PRIVATE zentavo_core)
target_link_options(fuzz_card_answers PRIVATE -fsanitize=fuzzer)

# The seed corpus from the simulator's answers and the test certificates.
add_executable(make_seeds ${FUZZ_DIR}/make_seeds.cpp ${FUZZ_DIR}/cardscript.h ${PROJECT_SOURCE_DIR}/tools/tachosim/simcard.cpp)
target_link_libraries(make_seeds PRIVATE zentavo_core PkgConfig::PCSC)
