// The daemon's command line: its short options and long names. The daemon
// parses with them, and `vethractl check-options` checks a unit's options
// against the same table, so the two never disagree.
#pragma once

#include <getopt.h>

// -x, -t and -m are taken and ignored, as the daemon always has.
inline constexpr const char *VTR_DAEMON_SHORT_OPTIONS = "hld:aw:xv:tn:csm";

inline constexpr struct option VTR_DAEMON_LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"list", no_argument, nullptr, 'l'},
    {"duration", required_argument, nullptr, 'd'},
    {"all", no_argument, nullptr, 'a'},
    {"worldgroupid", required_argument, nullptr, 'w'},
    {"name", required_argument, nullptr, 'n'},
    {"changerate_shll", no_argument, nullptr, 's'},
    {"changerate_hll", no_argument, nullptr, 'c'},
    {"verbose", required_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};
