# Tests of the dispatcher and the termios device layer, over real pseudo-terminals.
foreach(t core_io core_open core_trigger core_timer core_lines core_wakeup)
  brimwell_add_test(serial_${t}_tests serial
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/${t}_test.cpp
    LIBS brimwell_serial_core brimwell_test_support)
  add_dependencies(serial_tests serial_${t}_tests)
endforeach()

# The trigger table alone: no device, no threads.
brimwell_add_test(serial_trigger_table_tests serial
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/trigger_table_test.cpp
  LIBS brimwell_serial_core)
add_dependencies(serial_tests serial_trigger_table_tests)

# The network device layers through a real ser2net.
brimwell_add_test(serial_net_port_tests serial
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/net_port_test.cpp
  LIBS brimwell_serial_core brimwell_test_support)
add_dependencies(serial_tests serial_net_port_tests)
