// The command line's option table: every option the tool accepts, its id and
// whether it takes an argument. Read by the option parser in _get_params.
#pragma once

#include <cstddef>

#include "app/OptionParser.h"

enum OptionId : int {
    OPT_HELP = 0,
    OPT_COMMAND = 1,
    OPT_PARAM = 2,
    OPT_HTTPS = 3,
    OPT_HTTP = 4,
};

extern const OptionRow UPDATER_OPTIONS[];
extern const size_t UPDATER_OPTION_COUNT;
