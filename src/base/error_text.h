#pragma once
#include <string>
#include <system_error>

// The system's text for an errno value, safe to call from any thread.
inline std::string errorText(int error) { return std::error_code(error, std::generic_category()).message(); }
