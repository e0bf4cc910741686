#include "base/log.h"

namespace varno_log {
std::atomic<int> threshold{static_cast<int>(boost::log::trivial::trace)};
}
