// CLI_Display: the console display of the command line. Messages go to
// standard output (information) or standard error (errors), one per line;
// the progress bar, the spinner and line erasing are drawn on standard
// output only when it is a terminal. Built once by main.
#pragma once

#include "app/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
  public:
    // Switches standard output and standard error to unbuffered mode.
    CLI_Display();

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};
