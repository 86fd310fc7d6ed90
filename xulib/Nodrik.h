#pragma once
// The fourteen exports of the camera extension-unit library (libNodrik.so).
//
// Plain C functions under fixed names, taking only integers and pointers, so
// that the service binds them by name at run time and neither side ever frees
// the other's memory. Booleans are one byte (1 true, 0 false). Request buffers
// are owned by the caller and hold 64 bytes; name buffers are owned by the
// caller and hold kNodrikNameChars UTF-16 code units, terminator included.
//
// The library keeps one process-wide state; it serves one calling thread at a
// time, and a caller runs each select-unit, select-control, transfer request
// (and each initialise, requests, uninitialise sequence) as one unit.

#include <cstdint>

#if defined(_WIN32)
#define NODRIK_API __declspec(dllexport)
#else
#define NODRIK_API __attribute__((visibility("default")))
#endif

// A GUID in its own memory layout: Data1 to Data3 little-endian, as a UVC
// extension-unit descriptor carries it.
struct XuGuid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(XuGuid) == 16);
static_assert(sizeof(bool) == 1, "the exports' booleans are one byte");

inline constexpr int kNodrikNameChars = 260;   // UTF-16 code units of a name buffer
inline constexpr int kNodrikBufferSize = 64;   // bytes of a request buffer

extern "C" {
NODRIK_API bool OnSetUnitId(int unit);
NODRIK_API bool OnSetCtrlId(int control);
NODRIK_API bool OnSetReqLen(int length);
NODRIK_API bool OnUVC_SetCur(uint8_t* data);
NODRIK_API bool OnUVC_GetCur(uint8_t* data);
NODRIK_API void GetUnitIdRange(int* maximum, int* minimum);
NODRIK_API void GetCtrlIdRange(int* maximum, int* minimum);
NODRIK_API void GetReqLenRange(int* maximum, int* minimum);
NODRIK_API bool OnUVC_SetGUID(int unit, const XuGuid* guid);
NODRIK_API int GetReqLen();
NODRIK_API bool GetCurReqLen(unsigned int* length);
NODRIK_API bool GetDeviceNameEnum(int index, char16_t* name);
NODRIK_API bool OnInitializeXU(int index);
NODRIK_API bool OnUnInitializeXU();
}

// The entry-point types, for a caller that binds the exports by name.
using PFN_OnSetUnitId = bool (*)(int);
using PFN_OnSetCtrlId = bool (*)(int);
using PFN_OnSetReqLen = bool (*)(int);
using PFN_OnUVC_SetCur = bool (*)(uint8_t*);
using PFN_OnUVC_GetCur = bool (*)(uint8_t*);
using PFN_GetUnitIdRange = void (*)(int*, int*);
using PFN_GetCtrlIdRange = void (*)(int*, int*);
using PFN_GetReqLenRange = void (*)(int*, int*);
using PFN_OnUVC_SetGUID = bool (*)(int, const XuGuid*);
using PFN_GetReqLen = int (*)();
using PFN_GetCurReqLen = bool (*)(unsigned int*);
using PFN_GetDeviceNameEnum = bool (*)(int, char16_t*);
using PFN_OnInitializeXU = bool (*)(int);
using PFN_OnUnInitializeXU = bool (*)();
