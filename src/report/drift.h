#pragma once
// What changed between two reports of the same network, say last month's and this month's.
#include "report/summary.h"

namespace report {

// Servers new and gone, servers whose worst finding, versions, suite class, key or group kind
// changed, findings that appeared and disappeared, and the post-quantum share then and now.
Drift compareSummaries(Summary const& then, Summary const& now);

}  // namespace report
