// CLI_Display: console drawing of messages, progress bar and spinner.
#include "app/CLI_Display.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int ERASE_WIDTH = 88;
constexpr int BAR_WIDTH = 69;
const char BAR_FILL[] = "=====================================================================";
static_assert(sizeof BAR_FILL - 1 == BAR_WIDTH, "the bar source holds one '=' per column");

const char* const SPINNER_FRAMES[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr unsigned SPINNER_FRAME_COUNT = sizeof SPINNER_FRAMES / sizeof SPINNER_FRAMES[0];
unsigned spinnerFrame = 0;

bool stdoutIsTerminal()
{
    return isatty(fileno(stdout)) == 1;
}

void eraseLine()
{
    printf("\r%*s\r", ERASE_WIDTH, " ");
    fflush(stdout);
}

} // namespace

CLI_Display::CLI_Display()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show)
{
    if (!stdoutIsTerminal() || show)
        return;
    eraseLine();
}

void CLI_Display::update_progress(double fraction, const char* label)
{
    if (!stdoutIsTerminal())
        return;
    // Out-of-range fractions and over-long labels would otherwise turn the
    // precision and width negative and draw a garbled line.
    if (!(fraction >= 0.0))
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    int width = BAR_WIDTH;
    if (label != nullptr) {
        size_t labelLength = strlen(label);
        width = labelLength + 4 >= static_cast<size_t>(BAR_WIDTH) ? 0 : BAR_WIDTH - static_cast<int>(labelLength) - 4;
    }
    int filled = static_cast<int>(width * fraction);
    int percent = static_cast<int>(fraction * 100);
    if (label == nullptr)
        printf("\r[%.*s>%*s] (%3d%% ) ", filled, BAR_FILL, width - filled - 1, "", percent);
    else
        printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, BAR_FILL, width - filled - 1, "", percent);
    fflush(stdout);
}

void CLI_Display::update_spinner(bool active, const char* label)
{
    if (!stdoutIsTerminal())
        return;
    if (!active) {
        eraseLine();
        return;
    }
    const char* frame = SPINNER_FRAMES[spinnerFrame];
    if (label == nullptr)
        printf("\r %s      \r", frame);
    else
        printf("\r (%s) %s      \r", label, frame);
    fflush(stdout);
    spinnerFrame = (spinnerFrame + 1) % SPINNER_FRAME_COUNT;
}

void CLI_Display::info_message(const char* text)
{
    fprintf(stdout, "%s\n", text ? text : "");
}

void CLI_Display::error_message(const char* text)
{
    fprintf(stderr, "%s\n", text ? text : "");
}
