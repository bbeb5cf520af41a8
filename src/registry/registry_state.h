// The registry's own state. Only the registry's files include this header;
// every other room goes through the functions of registry/registry.h.
#pragma once

#include "registry/registry.h"

extern hash_table diskTable;
extern VMListHead vmList;
