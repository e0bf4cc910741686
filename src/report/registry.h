#pragma once
// The report reads names and classes of code points from the registries of the TLS
// analysis, so the monitor and the report cannot drift apart. The names it takes, one by one.
#include "tls/registry.h"

namespace report {
using tls::classifySuite;
using tls::groupKind;
using tls::GroupKind;
using tls::groupKindName;
using tls::groupName;
using tls::hexCode;
using tls::isGrease;
using tls::isPostQuantum;
using tls::KeyExchangeKind;
using tls::keyExchangeKind;
using tls::namedGroupCount;
using tls::namedSuiteCount;
using tls::SuiteClass;
using tls::suiteClassCount;
using tls::suiteClassName;
using tls::SuiteInfo;
using tls::suiteInfo;
using tls::Version;
using tls::versionCode;
using tls::versionCodeName;
using tls::versionCount;
using tls::versionFromCode;
using tls::versionFromText;
using tls::versionName;
using tls::versionText;
}  // namespace report
