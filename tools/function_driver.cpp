// A small function driver for tests and benchmarks.
#include "tools/function_driver.h"

namespace x9tr::test {

namespace {

NTSTATUS FunctionPrepareHardware(WDFDEVICE Device, WDFCMRESLIST, WDFCMRESLIST)
{
    FUNCTION_CONTEXT* context = GetFunctionContext(Device);
    NTSTATUS status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &context->UsbDevice);
    if (!NT_SUCCESS(status)) {
        return context->PrepareStatus = status;
    }
    WdfUsbTargetDeviceGetDeviceDescriptor(context->UsbDevice, &context->DeviceDescriptor);
    USHORT size = 0;
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(context->UsbDevice, nullptr, &size);
    if (status != STATUS_BUFFER_TOO_SMALL || size > sizeof(context->Configuration)) {
        return context->PrepareStatus = STATUS_UNSUCCESSFUL;
    }
    context->ConfigurationLength = size;
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(context->UsbDevice, context->Configuration,
                                                        &context->ConfigurationLength);
    if (!NT_SUCCESS(status)) {
        return context->PrepareStatus = status;
    }
    // Every interface of the function at its first setting.
    auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(context->Configuration);
    PUSB_INTERFACE_DESCRIPTOR interfaces[8] = {};
    ULONG count = 0;
    PVOID start = configuration;
    while (count < 8) {
        PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(configuration, start, -1, 0, -1, -1, -1);
        if (found == nullptr) {
            break;
        }
        interfaces[count++] = found;
        start = reinterpret_cast<PUCHAR>(found) + found->bLength;
    }
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(&params, configuration, interfaces, count);
    status = WdfUsbTargetDeviceSelectConfig(context->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) {
        return context->PrepareStatus = status;
    }
    for (UCHAR i = 0; i < WdfUsbTargetDeviceGetNumInterfaces(context->UsbDevice); ++i) {
        WDFUSBINTERFACE interface = WdfUsbTargetDeviceGetInterface(context->UsbDevice, i);
        for (UCHAR p = 0; p < WdfUsbInterfaceGetNumConfiguredPipes(interface) && context->PipeCount < 8; ++p) {
            context->Pipes[context->PipeCount++] = WdfUsbInterfaceGetConfiguredPipe(interface, p, nullptr);
        }
    }
    return context->PrepareStatus = STATUS_SUCCESS;
}

NTSTATUS FunctionDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit)
{
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = FunctionPrepareHardware;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &callbacks);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<FUNCTION_CONTEXT>(&attributes);
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (NT_SUCCESS(status)) {
        GetFunctionContext(device)->Device = device;
    }
    return status;
}

NTSTATUS FunctionDriverEntry(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, FunctionDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

} // namespace

platform::pnp::DriverImage FunctionDriverImage() { return {u"X9TRtestfn", FunctionDriverEntry}; }

platform::pnp::Manifest FunctionDriverManifest(std::vector<std::u16string> ids)
{
    return platform::pnp::Manifest{u"X9TRtestfn", u"{00000000-0000-0000-0000-00000000f00d}", std::move(ids), "test"};
}

WDFUSBPIPE PipeFor(WDFDEVICE device, UCHAR endpointAddress)
{
    FUNCTION_CONTEXT* context = GetFunctionContext(device);
    for (ULONG i = 0; i < context->PipeCount; ++i) {
        WDF_USB_PIPE_INFORMATION info;
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        WdfUsbTargetPipeGetInformation(context->Pipes[i], &info);
        if (info.EndpointAddress == endpointAddress) {
            return context->Pipes[i];
        }
    }
    return nullptr;
}

} // namespace x9tr::test
