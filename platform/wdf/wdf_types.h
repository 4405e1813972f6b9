// Framework handles, object attributes and typed contexts: the vocabulary
// every framework call uses. Handles are opaque values issued by the
// platform's object table; they are never pointers a driver may follow.
#pragma once

#include "platform/kernel/ntstatus.h"
#include "platform/kernel/unicode.h"

#include <cstddef>
#include <type_traits>

using WDFOBJECT = void*;
using WDFCONTEXT = void*;

struct WDFDRIVER__ {};
using WDFDRIVER = WDFDRIVER__*;
struct WDFDEVICE__ {};
using WDFDEVICE = WDFDEVICE__*;
struct WDFCOLLECTION__ {};
using WDFCOLLECTION = WDFCOLLECTION__*;
struct WDFMEMORY__ {};
using WDFMEMORY = WDFMEMORY__*;
struct WDFSTRING__ {};
using WDFSTRING = WDFSTRING__*;
struct WDFKEY__ {};
using WDFKEY = WDFKEY__*;
struct WDFWAITLOCK__ {};
using WDFWAITLOCK = WDFWAITLOCK__*;
struct WDFSPINLOCK__ {};
using WDFSPINLOCK = WDFSPINLOCK__*;
struct WDFWMIPROVIDER__ {};
using WDFWMIPROVIDER = WDFWMIPROVIDER__*;
struct WDFWMIINSTANCE__ {};
using WDFWMIINSTANCE = WDFWMIINSTANCE__*;

inline constexpr std::nullptr_t WDF_NO_HANDLE = nullptr;
inline constexpr std::nullptr_t WDF_NO_OBJECT_ATTRIBUTES = nullptr;
inline constexpr std::nullptr_t WDF_NO_EVENT_CALLBACK = nullptr;

enum WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
};

enum WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
};

enum WDF_TRI_STATE { WdfFalse = 0, WdfTrue = 1, WdfUseDefault = 2 };

using EVT_WDF_OBJECT_CONTEXT_CLEANUP = void(WDFOBJECT Object);
using PFN_WDF_OBJECT_CONTEXT_CLEANUP = EVT_WDF_OBJECT_CONTEXT_CLEANUP*;
using EVT_WDF_OBJECT_CONTEXT_DESTROY = void(WDFOBJECT Object);
using PFN_WDF_OBJECT_CONTEXT_DESTROY = EVT_WDF_OBJECT_CONTEXT_DESTROY*;

struct WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    PCSTR ContextName;
    std::size_t ContextSize;
    // The record that identifies the type; contexts are looked up by it.
    const WDF_OBJECT_CONTEXT_TYPE_INFO* UniqueType;
};
using PCWDF_OBJECT_CONTEXT_TYPE_INFO = const WDF_OBJECT_CONTEXT_TYPE_INFO*;

struct WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    std::size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
};
using PWDF_OBJECT_ATTRIBUTES = WDF_OBJECT_ATTRIBUTES*;

inline void WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes)
{
    *Attributes = WDF_OBJECT_ATTRIBUTES{};
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

// A context record type is declared once, next to the record:
//     WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PARENT_FDO_CONTEXT, GetParentFdoContext)
// gives the accessor GetParentFdoContext(handle) and lets
// WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<PARENT_FDO_CONTEXT>(&attributes)
// and WdfObjectGetTypedContext<PARENT_FDO_CONTEXT>(handle) find the type.
// Context records are plain records: the framework hands them out zeroed.
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TYPE, ACCESSOR)                                        \
    inline constexpr WDF_OBJECT_CONTEXT_TYPE_INFO WDF_##TYPE##_TYPE_INFO = {                      \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #TYPE, sizeof(TYPE), &WDF_##TYPE##_TYPE_INFO};      \
    constexpr PCWDF_OBJECT_CONTEXT_TYPE_INFO WdfContextTypeInfoOf(const TYPE*)                    \
    {                                                                                             \
        return &WDF_##TYPE##_TYPE_INFO;                                                           \
    }                                                                                             \
    inline TYPE* ACCESSOR(WDFOBJECT Handle)                                                       \
    {                                                                                             \
        return static_cast<TYPE*>(WdfObjectGetTypedContextWorker(Handle, &WDF_##TYPE##_TYPE_INFO)); \
    }

#define WDF_DECLARE_CONTEXT_TYPE(TYPE) WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TYPE, WdfObjectGet_##TYPE)

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

template <class T>
inline void WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(PWDF_OBJECT_ATTRIBUTES Attributes)
{
    // Zeroed memory is a valid value of it, and nothing runs at its end.
    static_assert(std::is_trivially_destructible_v<T> && std::is_trivially_copyable_v<T>,
                  "a context is a plain record");
    WDF_OBJECT_ATTRIBUTES_INIT(Attributes);
    Attributes->ContextTypeInfo = WdfContextTypeInfoOf(static_cast<const T*>(nullptr));
}

template <class T>
inline void WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(PWDF_OBJECT_ATTRIBUTES Attributes)
{
    Attributes->ContextTypeInfo = WdfContextTypeInfoOf(static_cast<const T*>(nullptr));
}

template <class T>
inline T* WdfObjectGetTypedContext(WDFOBJECT Handle)
{
    return static_cast<T*>(
        WdfObjectGetTypedContextWorker(Handle, WdfContextTypeInfoOf(static_cast<const T*>(nullptr))));
}
