// Device initialisation and framework devices: what a device-add callback
// uses before and while it creates its device, and the registry keys of a
// device instance.
#pragma once

#include "platform/wdf/wdf_driver.h"
#include "platform/wdf/wdf_types.h"

// Which of a device instance's keys to open.
inline constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;            // hardware key (Device Parameters)
inline constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;            // software (driver) key
inline constexpr ULONG PLUGPLAY_REGKEY_CURRENT_HWPROFILE = 4;

NTSTATUS WdfFdoInitOpenRegistryKey(PWDFDEVICE_INIT DeviceInit, ULONG DeviceInstanceKeyType,
                                   ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                   WDFKEY* Key);
// Creates the device from *DeviceInit; on success *DeviceInit is consumed (set to null).
NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         WDFDEVICE* Device);
NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
