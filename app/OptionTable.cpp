// The command line's option table, in table order.
#include "app/OptionTable.h"

const OptionRow UPDATER_OPTIONS[] = {
    {OPT_COMMAND, "-B", false},
    {OPT_COMMAND, "-L", false},
    {OPT_COMMAND, "-D", false},
    {OPT_COMMAND, "-G", false},
    {OPT_COMMAND, "-I", false},
    {OPT_COMMAND, "-U", false},
    {OPT_COMMAND, "-OVERRIDE", false},
    {OPT_COMMAND, "-N", false},
    {OPT_COMMAND, "-Y", false},
    {OPT_COMMAND, "-C", false},
    {OPT_COMMAND, "-J", false},
    {OPT_HELP, "-h", false},
    {OPT_HELP, "-H", false},
    {OPT_PARAM, "-n", false},
    {OPT_PARAM, "-X", true},
    {OPT_PARAM, "-Z", true},
    {OPT_PARAM, "-m", true},
    {OPT_PARAM, "-i", true},
    {OPT_PARAM, "-b", true},
    {OPT_PARAM, "-d", true},
    {OPT_PARAM, "-t", true},
    {OPT_PARAM, "-f", true},
    {OPT_PARAM, "-r", true},
    {OPT_PARAM, "-s", true},
    {OPT_PARAM, "-o", true},
    {OPT_PARAM, "-e", false},
    {OPT_PARAM, "-l", true},
    {OPT_PARAM, "-k", true},
    {OPT_PARAM, "-u", true},
    {OPT_HELP, "--help", false},
    {OPT_HTTP, "--http", false},
    {OPT_HTTPS, "--https", false},
};

const size_t UPDATER_OPTION_COUNT = sizeof UPDATER_OPTIONS / sizeof UPDATER_OPTIONS[0];
