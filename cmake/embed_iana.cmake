# Writes OUTPUT, a C++ source that holds the IANA registry CSVs of data/iana as two string
# constants, so the report needs no data file at run time. Run with cmake -P.
file(READ "${IANA_SUITES}" suites)
file(READ "${IANA_GROUPS}" groups)
file(WRITE "${OUTPUT}.tmp"
  "// Generated from data/iana by cmake/embed_iana.cmake; do not edit.\n"
  "#include <string_view>\n"
  "extern const std::string_view ianaCipherSuitesCsv;\n"
  "extern const std::string_view ianaSupportedGroupsCsv;\n"
  "const std::string_view ianaCipherSuitesCsv = R\"iana(${suites})iana\";\n"
  "const std::string_view ianaSupportedGroupsCsv = R\"iana(${groups})iana\";\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
