#include "tests/support/Environment.h"

#include <cstdlib>

namespace testsupport {

// The C runtime's copy of the environment is the one getenv reads, in the
// program and in the DLLs it loads alike. An empty value removes the variable
// there, which the parts under test take as they take an empty one.
void SetEnvironment(const char* name, const char* value) { ::_putenv_s(name, value); }
void UnsetEnvironment(const char* name) { ::_putenv_s(name, ""); }

}  // namespace testsupport
