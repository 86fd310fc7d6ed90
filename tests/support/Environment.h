#pragma once
// Setting and removing environment variables of the test process, as the
// parts under test read them with getenv.

namespace testsupport {

void SetEnvironment(const char* name, const char* value);
void UnsetEnvironment(const char* name);

}  // namespace testsupport
