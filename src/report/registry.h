#pragma once
// The report reads names and classes of code points from the registries of the TLS
// analysis, so the monitor and the report cannot drift apart.
#include "tls/registry.h"

namespace report {
using namespace tls;
}  // namespace report
