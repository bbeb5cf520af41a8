// The names of the 70 per-disk counters, in counter order.
#include "registry/counters.h"

const char metricFieldNames[VTR_NUM_COUNTERS][VTR_METRIC_NAME_SIZE] = {
    "rio",         "wio",         "rthput",         "wthput",
    "seqrio",      "seqwio",      "seqrbytes",      "seqwbytes",
    "eq4kalirio",  "eq4kaliwio",  "lt4krio",        "lt4kwio",
    "eq4krio",     "eq4kwio",     "gt4lt8krio",     "gt4lt8kwio",
    "eq8krio",     "eq8kwio",     "gt8lt16krio",    "gt8lt16kwio",
    "eq16krio",    "eq16kwio",    "gt16lt32krio",   "gt16lt32kwio",
    "eq32krio",    "eq32kwio",    "gt32lt64krio",   "gt32lt64kwio",
    "eq64krio",    "eq64kwio",    "gt64lt128krio",  "gt64lt128kwio",
    "eq128krio",   "eq128kwio",   "gt128lt256krio", "gt128lt256kwio",
    "eq256krio",   "eq256kwio",   "gt256lt512krio", "gt256lt512kwio",
    "eq512krio",   "eq512kwio",   "gt512klt1mrio",  "gt512klt1mwio",
    "eq1mrio",     "eq1mwio",     "gt1mrio",        "gt1mwio",
    "rlat1us",     "wlat1us",     "rlat10us",       "wlat10us",
    "rlat100us",   "wlat100us",   "rlat500us",      "wlat500us",
    "rlat1ms",     "wlat1ms",     "rlat5ms",        "wlat5ms",
    "rlat10ms",    "wlat10ms",    "rlat25ms",       "wlat25ms",
    "rlat50ms",    "wlat50ms",    "rlat100ms",      "wlat100ms",
    "rlatgt100ms", "wlatgt100ms",
};
