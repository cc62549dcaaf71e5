# Tests of the port component, its exceptions and messages, the string resources, port names and
# the availability test. Included by tests/serial/CMakeLists.txt.
brimwell_add_test(serial_errors_tests serial
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/errors_test.cpp ${CMAKE_CURRENT_LIST_DIR}/errors_string_resources_test.cpp
  LIBS brimwell_serial)
add_dependencies(serial_tests serial_errors_tests)

brimwell_add_test(serial_port_tests serial
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/port_names_test.cpp ${CMAKE_CURRENT_LIST_DIR}/port_available_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/shown_text_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/uucp_lock_test.cpp
  LIBS brimwell_serial brimwell_test_support)
add_dependencies(serial_tests serial_port_tests)

brimwell_add_test(serial_component_tests serial QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/component_open_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/component_io_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/component_wait_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/component_properties_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/component_recording_test.cpp
  LIBS brimwell_serial brimwell_test_support)
add_dependencies(serial_tests serial_component_tests)
add_dependencies(serial_component_tests brimwell-unit-sim)
