// I/O request packets: the IRP with its stack of locations, completion
// routines, and the device objects it travels down. A device object names a
// handler (the framework for framework devices, the USB hub port for a
// handset) that the platform calls with the IRP at its current location.
#pragma once

#include "platform/kernel/ntstatus.h"
#include "platform/kernel/unicode.h"
#include "platform/kernel/wdm.h"

#include <cstddef>

// Major and minor functions.
inline constexpr UCHAR IRP_MJ_CREATE = 0x00;
inline constexpr UCHAR IRP_MJ_CLOSE = 0x02;
inline constexpr UCHAR IRP_MJ_READ = 0x03;
inline constexpr UCHAR IRP_MJ_WRITE = 0x04;
inline constexpr UCHAR IRP_MJ_QUERY_INFORMATION = 0x05;
inline constexpr UCHAR IRP_MJ_SET_INFORMATION = 0x06;
inline constexpr UCHAR IRP_MJ_FLUSH_BUFFERS = 0x09;
inline constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
inline constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
inline constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
inline constexpr UCHAR IRP_MJ_POWER = 0x16;
inline constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
inline constexpr UCHAR IRP_MJ_PNP = 0x1B;

inline constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
inline constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;
inline constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;

// What a device reports of itself to the Plug and Play manager.
struct DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG WarmEjectSupported : 1;
    ULONG NoDisplayInUI : 1;
    ULONG Reserved1 : 1;
    ULONG WakeFromInterrupt : 1;
    ULONG SecureDevice : 1;
    ULONG ChildOfVgaEnabledBridge : 1;
    ULONG DecodeIoOnBoot : 1;
    ULONG Reserved : 9;
    ULONG Address;
    ULONG UINumber;
    LONG DeviceState[7];
    LONG SystemWake;
    LONG DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
};
using PDEVICE_CAPABILITIES = DEVICE_CAPABILITIES*;
static_assert(sizeof(DEVICE_CAPABILITIES) == 64);

// The header every queried interface starts with.
using PINTERFACE_REFERENCE = void (*)(PVOID Context);
using PINTERFACE_DEREFERENCE = void (*)(PVOID Context);
struct INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
};
using PINTERFACE = INTERFACE*;

struct IRP;
using PIRP = IRP*;

// The classes of IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION that
// devices answer, and the records two of them carry.
enum FILE_INFORMATION_CLASS : ULONG {
    FileBasicInformation = 4,
    FileStandardInformation = 5,
    FilePositionInformation = 14,
    FileAllocationInformation = 19,
    FileEndOfFileInformation = 20,
};

struct FILE_STANDARD_INFORMATION {
    LONGLONG AllocationSize;
    LONGLONG EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
};
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24);

struct FILE_POSITION_INFORMATION {
    LONGLONG CurrentByteOffset;
};
static_assert(sizeof(FILE_POSITION_INFORMATION) == 8);

using IO_COMPLETION_ROUTINE = NTSTATUS(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
using PIO_COMPLETION_ROUTINE = IO_COMPLETION_ROUTINE*;
inline constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = MakeStatus(0xC0000016);

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG Length;
            ULONG Key;
            LONGLONG ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LONGLONG ByteOffset;
        } Write;
        // Each member on its own pointer-sized slot, so that IoControlCode
        // shares its slot with Others.Argument3 as in the published layout.
        struct {
            ULONG OutputBufferLength;
            alignas(void*) ULONG InputBufferLength;
            alignas(void*) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            ULONG Length;
            alignas(void*) FILE_INFORMATION_CLASS FileInformationClass;
        } QueryFile;
        struct {
            ULONG Length;
            alignas(void*) FILE_INFORMATION_CLASS FileInformationClass;
            PVOID FileObject;
        } SetFile;
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;

struct IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
};

inline constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
inline constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;
inline constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
inline constexpr UCHAR SL_PENDING_RETURNED = 0x01;

using DRIVER_CANCEL = void(PDEVICE_OBJECT DeviceObject, PIRP Irp);
using PDRIVER_CANCEL = DRIVER_CANCEL*;

struct IRP {
    IO_STATUS_BLOCK IoStatus;
    PVOID SystemBuffer;     // the buffered I/O buffer
    PVOID UserBuffer;
    BOOLEAN Cancel;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;   // 1-based, StackCount + 1 before the first call
    PDRIVER_CANCEL CancelRoutine;
    IO_STACK_LOCATION* Stack; // StackCount locations
    PVOID DriverContext[4];   // for the driver that owns the IRP now
    PVOID PlatformRequest;    // the framework request that holds the IRP now, if any
};

// The platform's side of a device object: where IRPs sent to it go.
namespace platform {
class IrpHandler {
public:
    virtual ~IrpHandler() = default;
    // Handles the IRP at its current location: completes it (IoCompleteRequest)
    // now or later, or passes it on. Returns STATUS_PENDING when not completed.
    virtual NTSTATUS DispatchIrp(PDEVICE_OBJECT device, PIRP irp) = 0;
};
} // namespace platform

PIRP IoAllocateIrp(CHAR StackSize, BOOLEAN ChargeQuota);
void IoFreeIrp(PIRP Irp);
void IoReuseIrp(PIRP Irp, NTSTATUS Status);
PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp);
PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp);
void IoCopyCurrentIrpStackLocationToNext(PIRP Irp);
void IoSkipCurrentIrpStackLocation(PIRP Irp);
void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context, BOOLEAN InvokeOnSuccess,
                            BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel);
void IoMarkIrpPending(PIRP Irp);
// Sends the IRP to the device: the next location becomes current.
NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Ends the IRP: the completion routines of the locations above run, newest first.
void IoCompleteRequest(PIRP Irp, CHAR PriorityBoost);
// Asks for the IRP to be cancelled; true when a cancel routine was called.
BOOLEAN IoCancelIrp(PIRP Irp);

inline constexpr CHAR IO_NO_INCREMENT = 0;
