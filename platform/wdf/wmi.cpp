// Framework WMI providers and instances, and the consumer's queries. The
// directory of what is registered is shared by every platform and may be
// read from a consumer's thread, so it lives behind a mutex; the driver's
// query callbacks run outside it, as the driver's code, each in an execution
// context of its own (a query arrives from the WMI service, not from the
// code that asked).
#include "platform/wdf/wdf_wmi.h"

#include "platform/dispatch/dispatcher.h"
#include "platform/platform.h"
#include "platform/wdf/device.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <span>
#include <string>

namespace platform::wdf {

namespace {

// Bytes of a query buffer the driver never wrote read as fresh pool memory does.
constexpr std::byte kFreshPoolFill{0xA5};

class WmiProvider final : public Object {
public:
    WmiProvider() : Object(ObjectKind::WmiProvider) {}
    ~WmiProvider() override;
    void OnDelete() override;

    WDF_WMI_PROVIDER_CONFIG Config{};
    Device* Owner = nullptr;
    ULONG NextIndex = 0; // the number the next instance of this block gets
};

class WmiInstance final : public Object {
public:
    WmiInstance() : Object(ObjectKind::WmiInstance) {}
    ~WmiInstance() override;
    void OnDelete() override;

    std::u16string Name() const { return Owner->InstanceId + u"_" + Utf8ToUtf16(std::to_string(Index)); }

    WDF_WMI_INSTANCE_CONFIG Config{};
    Device* Owner = nullptr; // the parent, so it outlives the instance
    WmiProvider* Provider = nullptr;
    ULONG Index = 0;
    // The context that answers queries when the config says UseContextForQuery.
    PCWDF_OBJECT_CONTEXT_TYPE_INFO QueryContext = nullptr;
    std::size_t QueryContextSize = 0;
};

// Every WMI provider and instance alive, in the order they were made, and
// which instances are registered. An entry goes when its object's deletion
// begins (or, for an object a platform frees at its end, when it is freed).
class WmiDirectory {
public:
    static WmiDirectory& Get()
    {
        static WmiDirectory directory;
        return directory;
    }

    // Creations are serialised among themselves, so that one block of a
    // device gets one provider. Held around the object table's insertion,
    // never around a driver callback.
    std::mutex& CreationLock() { return creating_; }

    WmiProvider* FindProvider(const Device& device, const GUID& guid)
    {
        std::lock_guard lock(mutex_);
        for (const Entry& entry : providers_) {
            auto* provider = static_cast<WmiProvider*>(entry.Item);
            if (provider->Owner == &device && provider->Config.Guid == guid) {
                return provider;
            }
        }
        return nullptr;
    }

    void Add(WmiProvider& provider)
    {
        std::lock_guard lock(mutex_);
        providers_.push_back(Entry{&Platform::Current(), &provider, false});
    }

    void Add(WmiInstance& instance)
    {
        std::lock_guard lock(mutex_);
        instance.Index = instance.Provider->NextIndex++;
        instances_.push_back(Entry{&Platform::Current(), &instance, false});
    }

    void Remove(const Object& item)
    {
        std::lock_guard lock(mutex_);
        auto& list = item.Kind() == ObjectKind::WmiProvider ? providers_ : instances_;
        std::erase_if(list, [&item](const Entry& entry) { return entry.Item == &item; });
    }

    void SetRegistered(const WmiInstance& instance, bool registered)
    {
        std::lock_guard lock(mutex_);
        for (Entry& entry : instances_) {
            if (entry.Item == &instance) {
                entry.Registered = registered;
            }
        }
    }

    // The registered instances of Block on the current platform (of Device
    // only, and only the first, when Device is given), each with a reference
    // taken so that a deletion meanwhile does not free it under the query.
    // The entry is still listed, so its deletion has not yet given up the
    // creation reference: taking one more here is safe.
    std::vector<WmiInstance*> TakeRegistered(const GUID& block, WDFDEVICE device)
    {
        std::vector<WmiInstance*> taken;
        Platform* world = Platform::TryCurrent();
        if (world == nullptr) {
            return taken;
        }
        std::lock_guard lock(mutex_);
        for (const Entry& entry : instances_) {
            auto* instance = static_cast<WmiInstance*>(entry.Item);
            if (entry.World != world || !entry.Registered || instance->IsDeleted() ||
                !(instance->Provider->Config.Guid == block)) {
                continue;
            }
            if (device != nullptr && instance->Owner->Handle() != device) {
                continue;
            }
            world->Objects().Reference(*instance);
            taken.push_back(instance);
            if (device != nullptr) {
                break;
            }
        }
        return taken;
    }

private:
    struct Entry {
        Platform* World;
        Object* Item;
        bool Registered;
    };

    std::mutex creating_;
    std::mutex mutex_;
    std::vector<Entry> providers_;
    std::vector<Entry> instances_;
};

WmiProvider::~WmiProvider() { WmiDirectory::Get().Remove(*this); }
void WmiProvider::OnDelete() { WmiDirectory::Get().Remove(*this); }
WmiInstance::~WmiInstance() { WmiDirectory::Get().Remove(*this); }
void WmiInstance::OnDelete() { WmiDirectory::Get().Remove(*this); }

NTSTATUS RegisterInstance(WmiInstance& instance)
{
    if (auto failure = Platform::Current().Faults().Take("WdfWmiInstanceRegister")) {
        return *failure;
    }
    WmiDirectory::Get().SetRegistered(instance, true);
    return STATUS_SUCCESS;
}

// The framework's own answer for an instance whose context is its data block.
NTSTATUS CopyContext(const WmiInstance& instance, std::span<std::byte> buffer, ULONG* used)
{
    const PVOID context = instance.FindContext(instance.QueryContext);
    if (context == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *used = static_cast<ULONG>(instance.QueryContextSize);
    if (buffer.size() < instance.QueryContextSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer.data(), context, instance.QueryContextSize);
    return STATUS_SUCCESS;
}

wmi::WmiAnswer Ask(WmiInstance& instance, ULONG bufferSize)
{
    wmi::WmiAnswer answer;
    answer.InstanceName = instance.Name();
    std::vector<std::byte> buffer(bufferSize, kFreshPoolFill);
    ULONG used = 0;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST; // a block nobody answers for
    if (instance.Config.UseContextForQuery) {
        status = CopyContext(instance, buffer, &used);
    } else if (const auto query = instance.Config.EvtWmiInstanceQueryInstance) {
        const auto handle = static_cast<WDFWMIINSTANCE>(instance.Handle());
        const PVOID out = bufferSize != 0 ? buffer.data() : nullptr;
        ExecutionScope scope;
        InvokeDriverCallback(instance, [&] { status = query(handle, bufferSize, out, &used); });
    }
    answer.Status = status;
    answer.BufferUsed = used;
    if (NT_SUCCESS(status)) {
        if (used > bufferSize) {
            GetVerifier().Report(VerifierRule::InvalidParameter,
                                 "EvtWmiInstanceQueryInstance of " + Utf16ToUtf8(answer.InstanceName) +
                                     " reported " + std::to_string(used) + " bytes used of a buffer of " +
                                     std::to_string(bufferSize));
        }
        answer.Data.assign(buffer.begin(), buffer.begin() + std::min(used, bufferSize));
    }
    return answer;
}

std::vector<wmi::WmiAnswer> AskEach(std::vector<WmiInstance*> instances, ULONG bufferSize)
{
    std::vector<wmi::WmiAnswer> answers;
    for (WmiInstance* instance : instances) {
        answers.push_back(Ask(*instance, bufferSize));
        Platform::Current().Objects().Dereference(*instance, "a WMI query");
    }
    return answers;
}

WmiInstance* ResolveInstance(WDFWMIINSTANCE handle, const char* operation, bool allowDeleted = false)
{
    return Platform::Current().Objects().ResolveAs<WmiInstance>(handle, ObjectKind::WmiInstance, operation,
                                                                allowDeleted);
}

} // namespace

} // namespace platform::wdf

using platform::Platform;
using platform::wdf::ObjectKind;
using platform::wdf::WmiDirectory;
using platform::wdf::WmiInstance;
using platform::wdf::WmiProvider;

NTSTATUS WdfWmiInstanceCreate(WDFDEVICE Device, PWDF_WMI_INSTANCE_CONFIG InstanceConfig,
                              PWDF_OBJECT_ATTRIBUTES InstanceAttributes, WDFWMIINSTANCE* Instance)
{
    if (Instance != nullptr) {
        *Instance = nullptr;
    }
    if (InstanceConfig == nullptr || InstanceConfig->Size != sizeof(WDF_WMI_INSTANCE_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    const WDF_WMI_INSTANCE_CONFIG& config = *InstanceConfig;
    auto& objects = Platform::Current().Objects();
    platform::wdf::Device* device = platform::wdf::ResolveDevice(Device, "WdfWmiInstanceCreate");
    if (device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // The block is named either by an existing provider or by a provider config, not both.
    if ((config.Provider == nullptr) == (config.ProviderConfig == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    const PWDF_WMI_PROVIDER_CONFIG providerConfig = config.ProviderConfig;
    if (providerConfig != nullptr && (providerConfig->Size != sizeof(WDF_WMI_PROVIDER_CONFIG) ||
                                      (providerConfig->Flags & ~ULONG{WdfWmiProviderValidFlags}) != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    WmiProvider* provider = nullptr;
    if (config.Provider != nullptr) {
        provider = objects.ResolveAs<WmiProvider>(config.Provider, ObjectKind::WmiProvider, "WdfWmiInstanceCreate");
        if (provider == nullptr || provider->Owner != device) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    // The context answers queries only if there is one and no callback competes with it.
    const bool hasContext = InstanceAttributes != nullptr && InstanceAttributes->ContextTypeInfo != nullptr;
    if (config.UseContextForQuery && (!hasContext || config.EvtWmiInstanceQueryInstance != nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto failure = Platform::Current().Faults().Take("WdfWmiInstanceCreate")) {
        return *failure;
    }

    // Instances are always children of their device, whatever the attributes say.
    WDF_OBJECT_ATTRIBUTES attributes;
    if (InstanceAttributes != nullptr) {
        attributes = *InstanceAttributes;
    } else {
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    }
    attributes.ParentObject = nullptr;

    auto& directory = WmiDirectory::Get();
    WmiProvider* made = nullptr;
    WmiInstance* raw = nullptr;
    {
        std::lock_guard creating(directory.CreationLock());
        if (provider == nullptr) {
            provider = directory.FindProvider(*device, providerConfig->Guid);
        }
        if (provider == nullptr) {
            // A provider the framework makes goes with its device.
            auto fresh = std::make_unique<WmiProvider>();
            fresh->Config = *providerConfig;
            fresh->Owner = device;
            fresh->SetDriverMayDelete(false);
            WmiProvider* freshRaw = fresh.get();
            const NTSTATUS status = objects.Insert(std::move(fresh), nullptr, device);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            directory.Add(*freshRaw);
            provider = made = freshRaw;
        }
        auto instance = std::make_unique<WmiInstance>();
        instance->Config = config;
        instance->Owner = device;
        instance->Provider = provider;
        if (config.UseContextForQuery) {
            instance->QueryContext = attributes.ContextTypeInfo;
            instance->QueryContextSize =
                std::max<std::size_t>(attributes.ContextTypeInfo->ContextSize, attributes.ContextSizeOverride);
        }
        raw = instance.get();
        const NTSTATUS status = objects.Insert(std::move(instance), &attributes, device);
        if (!NT_SUCCESS(status)) {
            if (made != nullptr) {
                objects.Delete(*made);
            }
            return status;
        }
        directory.Add(*raw);
    }
    if (config.Register) {
        const NTSTATUS status = platform::wdf::RegisterInstance(*raw);
        if (!NT_SUCCESS(status)) {
            // Nothing of the failed creation stays: the instance goes, and the provider made for it.
            objects.Delete(*raw);
            if (made != nullptr) {
                objects.Delete(*made);
            }
            return status;
        }
    }
    if (Instance != nullptr) {
        *Instance = static_cast<WDFWMIINSTANCE>(raw->Handle());
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfWmiInstanceRegister(WDFWMIINSTANCE WmiInstance)
{
    auto* instance = platform::wdf::ResolveInstance(WmiInstance, "WdfWmiInstanceRegister");
    if (instance == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return platform::wdf::RegisterInstance(*instance);
}

void WdfWmiInstanceDeregister(WDFWMIINSTANCE WmiInstance)
{
    // A deleted instance is deregistered already; saying so again (from a
    // cleanup callback, say) is no fault.
    if (auto* instance = platform::wdf::ResolveInstance(WmiInstance, "WdfWmiInstanceDeregister", true)) {
        WmiDirectory::Get().SetRegistered(*instance, false);
    }
}

WDFDEVICE WdfWmiInstanceGetDevice(WDFWMIINSTANCE WmiInstance)
{
    auto* instance = platform::wdf::ResolveInstance(WmiInstance, "WdfWmiInstanceGetDevice");
    return instance != nullptr ? static_cast<WDFDEVICE>(instance->Owner->Handle()) : nullptr;
}

WDFWMIPROVIDER WdfWmiInstanceGetProvider(WDFWMIINSTANCE WmiInstance)
{
    auto* instance = platform::wdf::ResolveInstance(WmiInstance, "WdfWmiInstanceGetProvider");
    return instance != nullptr ? static_cast<WDFWMIPROVIDER>(instance->Provider->Handle()) : nullptr;
}

namespace platform::wmi {

std::vector<WmiAnswer> QueryAllInstances(const GUID& block, ULONG bufferSize)
{
    return wdf::AskEach(WmiDirectory::Get().TakeRegistered(block, nullptr), bufferSize);
}

WmiAnswer QueryInstance(WDFDEVICE device, const GUID& block, ULONG bufferSize)
{
    if (device == nullptr) {
        return WmiAnswer{};
    }
    auto answers = wdf::AskEach(WmiDirectory::Get().TakeRegistered(block, device), bufferSize);
    return answers.empty() ? WmiAnswer{} : std::move(answers.front());
}

} // namespace platform::wmi
