# The card object and the token access library Corlisk, in its production
# form (HID port on SetupAPI and hid.dll) and its emulator-bound form, which
# goes into bin/emu beside the stand-ins it loads from its own folder.

add_library(kq_card STATIC
  KQCard.cpp KQCardPin.cpp KQCardKeys.cpp KQCardScreen.cpp KQCardPending.cpp TimerManager.cpp KQCardCommandFactory.cpp CorliskApp.cpp)
target_include_directories(kq_card PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(kq_card PUBLIC kq_cached_card kq_command)
kq_defaults(kq_card)

kq_add_dll(Corlisk ${CMAKE_CURRENT_SOURCE_DIR}/Corlisk.def CorliskExports.cpp)
# The port binding comes after the transport that calls it.
target_link_libraries(Corlisk PRIVATE kq_card kq_cached_card kq_command kq_transport kq_hidport_win32)

kq_add_dll(CorliskEmu ${CMAKE_CURRENT_SOURCE_DIR}/Corlisk.def CorliskExports.cpp)
target_link_libraries(CorliskEmu PRIVATE kq_card kq_cached_card kq_command kq_transport kq_hidport_emu)
set_target_properties(CorliskEmu PROPERTIES
  OUTPUT_NAME Corlisk
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/emu
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/emu)
add_dependencies(CorliskEmu KQUKeyLog KQUKeyMem KQCrypt)
add_custom_command(TARGET CorliskEmu POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
          $<TARGET_FILE:KQUKeyLog> $<TARGET_FILE:KQUKeyMem> $<TARGET_FILE:KQCrypt>
          $<TARGET_FILE_DIR:CorliskEmu>)

# Unit level: the slot table of the interface, the lock name, and the card
# object on a fake HID port.
kq_add_test(token_card_tests
  SOURCES tests/TestHidPortBinding.cpp tests/ScriptedHidPort.cpp tests/KQCardTest.cpp
  LIBS kq_card kq_testsupport)
target_include_directories(token_card_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/tests)
add_dependencies(token_card_tests KQUKeyLog KQUKeyMem KQCrypt)

# The emulator-bound library loaded by path and driven across processes
# (x64 only: the emulator is an x64 program).
if(NOT KQ_X86)
  kq_add_test(token_corlisk_emu_tests
    SOURCES tests/CorliskEmuTest.cpp tests/CorliskKeypadEmuTest.cpp
    LIBS kq_common kq_testsupport KQ::Crypto)
  target_include_directories(token_corlisk_emu_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}
                                                            ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  # The second process of the two-process tests.
  add_executable(corlisk_user_helper tests/CorliskUserHelper.cpp)
  kq_defaults(corlisk_user_helper)
  target_link_libraries(corlisk_user_helper PRIVATE kq_common)
  target_include_directories(corlisk_user_helper PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  add_dependencies(token_corlisk_emu_tests CorliskEmu KQTokenEmu corlisk_user_helper)
endif()

# The screen through the library against the emulator, checked against the
# renderer itself (x64 only).
if(NOT KQ_X86)
  kq_add_test(token_corlisk_screen_emu_tests
    SOURCES tests/CorliskScreenEmuTest.cpp
    LIBS kq_command kq_transport kq_hidport_emu kq_common kq_testsupport)
  target_include_directories(token_corlisk_screen_emu_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  add_dependencies(token_corlisk_screen_emu_tests CorliskEmu KQTokenEmu)
endif()
