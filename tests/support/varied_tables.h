// A table set built in code under which records group in many ways, for
// tests that compare whole runs (thread counts, the program and the API).
#pragma once

#include "support/table_builder.h"

namespace grouper::testing {

// A set under which records group in many ways: by diagnosis, procedure,
// age split and date, with CCLs, an exclusion, a dagger/asterisk pair, PCCL
// split strings and supplementary groups.
TableBuilder varied_tables();

}  // namespace grouper::testing
