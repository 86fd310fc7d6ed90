#pragma once
// The two kernel-streaming interfaces of a camera's capture filter that the
// library uses, declared here with their system identifiers because the
// mingw-w64 headers lack one (the topology) and declare the other in a
// kernel-mode flavour. The layouts are the system's; only the names are ours.

#include <windows.h>
#include <objbase.h>

#include <cstdint>

namespace nodrik::kscom {

// Property requests on the filter, its pins and (with the topology flag) its nodes.
struct IKsControl : public IUnknown {
    // S_OK; HRESULT_FROM_WIN32(ERROR_MORE_DATA) with the needed length in
    // `bytesReturned` when `data` is null or too small; any other failure.
    virtual HRESULT STDMETHODCALLTYPE KsProperty(void* property, ULONG propertyLength, void* data, ULONG dataLength,
                                                 ULONG* bytesReturned) = 0;
    virtual HRESULT STDMETHODCALLTYPE KsMethod(void* method, ULONG methodLength, void* data, ULONG dataLength,
                                               ULONG* bytesReturned) = 0;
    virtual HRESULT STDMETHODCALLTYPE KsEvent(void* event, ULONG eventLength, void* data, ULONG dataLength,
                                              ULONG* bytesReturned) = 0;
};

// The filter's nodes: an extension unit is a node of the device-specific type.
struct IKsTopologyInfo : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_NumCategories(DWORD* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Category(DWORD index, GUID* category) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NumConnections(DWORD* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ConnectionInfo(DWORD index, void* connection) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NodeName(DWORD node, WCHAR* name, DWORD bufferChars, DWORD* nameChars) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NodeType(DWORD node, GUID* type) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD node, REFIID iid, void** object) = 0;
};

inline constexpr GUID kIidKsControl = {0x28F54685, 0x06FD, 0x11D2, {0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kIidKsTopologyInfo = {
    0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
// The node type of a UVC extension unit.
inline constexpr GUID kNodeTypeDevSpecific = {
    0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};

// Request flags beside the get/set/topology ones the library already writes.
inline constexpr uint32_t kKsPropertyTypeSetSupport = 0x00000100;
// Property id 0 of an extension unit's set: the unit's own information.
inline constexpr uint32_t kKsPropertyExtensionUnitInfo = 0;

}  // namespace nodrik::kscom
