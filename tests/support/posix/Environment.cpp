#include "tests/support/Environment.h"

#include <cstdlib>

namespace testsupport {

void SetEnvironment(const char* name, const char* value) { ::setenv(name, value, 1); }
void UnsetEnvironment(const char* name) { ::unsetenv(name); }

}  // namespace testsupport
