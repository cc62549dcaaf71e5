// Starts the main window and its message loop; returns the process exit code.
#pragma once

namespace brimwell::app {

class MainWindow;

int runWindow(int argc, char** argv);

// Shows a time scale other than 1 (BRIMWELL_TIME_SCALE) in the window's status bar.
void showTimeScaleNotice(MainWindow& form);

} // namespace brimwell::app
