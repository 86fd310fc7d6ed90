#pragma once
// The program's resources: files compiled into the program, found by type
// and id ("BIN" 131). A program links one table of them, made by the CMake
// function zelt_add_resources.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace platform {

struct ProgramResource {
    const char* pszType;
    int nId;
    const uint8_t* pData;
    size_t cbData;
};

// The table compiled into the program (defined by the generated source).
std::span<const ProgramResource> ProgramResources();

// The bytes of the resource of that type (letter case ignored, as resource
// types are) and id; false when the program has none.
bool FindProgramResource(std::string_view type, int id, std::span<const uint8_t>& bytes);

}  // namespace platform
