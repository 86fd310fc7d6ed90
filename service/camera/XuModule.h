#pragma once
// The platform's shared libraries, as the binding of the camera library needs
// them: load one by path, find a function by name, unload it. The file name
// (kXuLibraryFileName of XuBinding.h) is defined beside them.

#include <string>

namespace camera {

// The loaded library, or null with the loader's reason in `error` (which
// names the path).
void* OpenXuModule(const std::string& path, std::string& error);
// The address of the export `name`, or null.
void* FindXuExport(void* module, const char* name);
void CloseXuModule(void* module);

// Tells a user without any camera what to look at, on standard error.
void ExplainNoCamera();

}  // namespace camera
