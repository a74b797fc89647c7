# The card file cache: the command object the card object uses for one
# connection (CBaseCmd with selections, files and public keys cached).
add_library(kq_cached_card STATIC CachedCard.cpp)
target_include_directories(kq_cached_card PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(kq_cached_card PUBLIC kq_command)
kq_defaults(kq_cached_card)

kq_add_test(token_cached_card_tests
  SOURCES tests/TestHidPortBinding.cpp tests/ScriptedHidPort.cpp tests/CachedCardTest.cpp
  LIBS kq_cached_card kq_testsupport KQ::Crypto)
target_include_directories(token_cached_card_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
add_dependencies(token_cached_card_tests KQUKeyLog KQUKeyMem KQCrypt)

# The command set and the cache against the token emulator's card (x64: the
# emulator is an x64 program).
if(NOT KQ_X86)
  kq_add_test(token_card_emulator_tests
    SOURCES tests/CardOnEmulatorTest.cpp
    LIBS kq_cached_card kq_transport kq_hidport_emu kq_testsupport KQ::Crypto)
  add_dependencies(token_card_emulator_tests KQTokenEmu KQUKeyLog KQUKeyMem KQCrypt)
endif()
