# Tests of the Qt terminal widget (offscreen) and of its intake queue and capture file.
brimwell_add_test(terminal_widget_queue_tests terminal
  SOURCES widget_queue_test.cpp
  LIBS brimwell_terminal_widget)
file(GLOB WIDGET_GUI_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/widget_view_*.cpp
     ${CMAKE_CURRENT_LIST_DIR}/widget_port_*.cpp ${CMAKE_CURRENT_LIST_DIR}/widget_support.*)
brimwell_add_test(terminal_widget_tests terminal GUI
  SOURCES ${WIDGET_GUI_TEST_SOURCES}
  LIBS brimwell_terminal_widget brimwell_test_support)
