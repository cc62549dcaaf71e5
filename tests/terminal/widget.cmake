# Tests of the Qt terminal widget (offscreen) and of its intake queue and capture file.
brimwell_add_test(terminal_widget_queue_tests terminal
  SOURCES widget_queue_test.cpp
  LIBS brimwell_terminal_widget)
brimwell_add_test(terminal_widget_tests terminal GUI
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/widget_view_test.cpp ${CMAKE_CURRENT_LIST_DIR}/widget_view_keys_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/widget_port_test.cpp ${CMAKE_CURRENT_LIST_DIR}/widget_support.cpp
          ${CMAKE_CURRENT_LIST_DIR}/widget_support.h
  LIBS brimwell_terminal_widget brimwell_test_support)
