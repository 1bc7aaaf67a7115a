// UpdaterDisplayInterface: where the updater flows send everything the user
// sees: messages, a progress bar and a spinner. The command line hands its
// console display (CLI_Display) to the flows; tests hand a recording one.
#pragma once

class UpdaterDisplayInterface {
  public:
    enum Level : int {
        LEVEL_INFO = 0,
        LEVEL_ERROR = 1,
    };

    bool muted = false;

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool active, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;
    virtual ~UpdaterDisplayInterface() = default;

    // While muted, message() drops everything; progress and spinner still draw.
    void mute_messages(bool mute) { muted = mute; }

    // Formats printf-style (at most 2047 characters, longer text is cut) and
    // hands the text to error_message for LEVEL_ERROR, else to info_message.
    // The text carries no trailing newline: the display adds one.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
};
