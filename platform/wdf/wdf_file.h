// Framework file objects: one per open handle on a device. A driver that
// configures them sees each create, cleanup and close of a handle.
#pragma once

#include "platform/kernel/wdm.h"
#include "platform/wdf/wdf_driver.h"
#include "platform/wdf/wdf_request.h"
#include "platform/wdf/wdf_types.h"

struct WDFFILEOBJECT__ {};
using WDFFILEOBJECT = WDFFILEOBJECT__*;

using EVT_WDF_DEVICE_FILE_CREATE = void(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject);
using PFN_WDF_DEVICE_FILE_CREATE = EVT_WDF_DEVICE_FILE_CREATE*;
using EVT_WDF_FILE_CLOSE = void(WDFFILEOBJECT FileObject);
using PFN_WDF_FILE_CLOSE = EVT_WDF_FILE_CLOSE*;
using EVT_WDF_FILE_CLEANUP = void(WDFFILEOBJECT FileObject);
using PFN_WDF_FILE_CLEANUP = EVT_WDF_FILE_CLEANUP*;

// Where the framework may keep its file object state; the platform keeps
// its own, so every class behaves the same here.
enum WDF_FILEOBJECT_CLASS : ULONG {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
};

struct WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    // Whether cleanup and close travel on down the stack after the callbacks.
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
};
using PWDF_FILEOBJECT_CONFIG = WDF_FILEOBJECT_CONFIG*;

inline void WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG Config, PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                       PFN_WDF_FILE_CLOSE EvtFileClose, PFN_WDF_FILE_CLEANUP EvtFileCleanup)
{
    *Config = WDF_FILEOBJECT_CONFIG{sizeof(WDF_FILEOBJECT_CONFIG), EvtDeviceFileCreate, EvtFileClose, EvtFileCleanup,
                                    WdfUseDefault, WdfFileObjectWdfCannotUseFsContexts};
}

// The create callback completes its request: a failure refuses the open.
void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
// At most one handle open at a time; a second open is refused with STATUS_ACCESS_DENIED.
void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive);

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject);
PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject);
// The file object of the handle a request came through, or null.
WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request);
