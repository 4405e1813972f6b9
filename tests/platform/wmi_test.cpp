// Framework WMI instances as a port driver publishes them and a consumer
// reads them: queries found and not found, the driver's own answer to a short
// buffer, registration and deletion, and the instance's place under its
// device.
#include "tests/support/world.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using platform::wmi::QueryAllInstances;
using platform::wmi::QueryInstance;
using platform::wmi::WmiAnswer;
using x9tr::test::DriverWorld;

constexpr GUID kCountersBlock = {0x6b1a0c41, 0x3d2e, 0x4f5a, {0x9c, 0x10, 0x2e, 0x77, 0x41, 0x0b, 0x5d, 0x01}};
constexpr GUID kSettingsBlock = {0x6b1a0c41, 0x3d2e, 0x4f5a, {0x9c, 0x10, 0x2e, 0x77, 0x41, 0x0b, 0x5d, 0x02}};
constexpr GUID kUnusedBlock = {0x6b1a0c41, 0x3d2e, 0x4f5a, {0x9c, 0x10, 0x2e, 0x77, 0x41, 0x0b, 0x5d, 0x03}};

// The counters block is one ULONG, answered by the driver's callback from the
// instance's context.
struct COUNTERS_CONTEXT {
    ULONG Value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(COUNTERS_CONTEXT, GetCountersContext)

// The settings block is the instance's context itself, answered by the framework.
struct SETTINGS_BLOCK {
    ULONG BaudRate;
    UCHAR Parity;
    UCHAR Reserved[3];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SETTINGS_BLOCK, GetSettingsBlock)

// What the query callback saw of the code around it, and the instances cleaned up.
WDFOBJECT queryDriver = nullptr;
std::uint64_t queryContext = 0;
std::vector<ULONG> cleanedUp;

NTSTATUS EvtCountersQuery(WDFWMIINSTANCE WmiInstance, ULONG OutBufferSize, PVOID OutBuffer, PULONG BufferUsed)
{
    queryDriver = platform::wdf::CurrentDriver() != nullptr ? platform::wdf::CurrentDriver()->Handle() : nullptr;
    queryContext = platform::ExecutionContext::Current().Id;
    *BufferUsed = sizeof(ULONG);
    if (OutBufferSize < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(OutBuffer, &GetCountersContext(WmiInstance)->Value, sizeof(ULONG));
    return STATUS_SUCCESS;
}

void EvtCountersCleanup(WDFOBJECT Object) { cleanedUp.push_back(GetCountersContext(Object)->Value); }

template <class T>
std::vector<std::byte> BytesOf(const T& value)
{
    const auto* bytes = reinterpret_cast<const std::byte*>(&value);
    return {bytes, bytes + sizeof(T)};
}

class Wmi : public testing::Test {
protected:
    void SetUp() override
    {
        queryDriver = nullptr;
        queryContext = 0;
        cleanedUp.clear();
    }

    // An instance of the counters block holding Value, as a device-add
    // callback makes it: through the provider config, or joining Provider.
    WDFWMIINSTANCE AddCounters(WDFDEVICE device, ULONG value, BOOLEAN registerNow = TRUE,
                               WDFWMIPROVIDER provider = nullptr, WDFOBJECT parent = nullptr)
    {
        return world.AsDriver([&] {
            WDF_WMI_PROVIDER_CONFIG providerConfig;
            WDF_WMI_PROVIDER_CONFIG_INIT(&providerConfig, &kCountersBlock);
            providerConfig.MinInstanceBufferSize = sizeof(ULONG);
            WDF_WMI_INSTANCE_CONFIG config;
            if (provider != nullptr) {
                WDF_WMI_INSTANCE_CONFIG_INIT_PROVIDER(&config, provider);
            } else {
                WDF_WMI_INSTANCE_CONFIG_INIT_PROVIDER_CONFIG(&config, &providerConfig);
            }
            config.Register = registerNow;
            config.EvtWmiInstanceQueryInstance = EvtCountersQuery;
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<COUNTERS_CONTEXT>(&attributes);
            attributes.ParentObject = parent;
            attributes.EvtCleanupCallback = EvtCountersCleanup;
            WDFWMIINSTANCE instance = nullptr;
            EXPECT_EQ(WdfWmiInstanceCreate(device, &config, &attributes, &instance), STATUS_SUCCESS);
            if (instance != nullptr) {
                GetCountersContext(instance)->Value = value;
            }
            return instance;
        });
    }

    void AddSettings(WDFDEVICE device, const SETTINGS_BLOCK& settings)
    {
        world.AsDriver([&] {
            WDF_WMI_PROVIDER_CONFIG providerConfig;
            WDF_WMI_PROVIDER_CONFIG_INIT(&providerConfig, &kSettingsBlock);
            WDF_WMI_INSTANCE_CONFIG config;
            WDF_WMI_INSTANCE_CONFIG_INIT_PROVIDER_CONFIG(&config, &providerConfig);
            config.Register = TRUE;
            config.UseContextForQuery = TRUE;
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<SETTINGS_BLOCK>(&attributes);
            WDFWMIINSTANCE instance = nullptr;
            EXPECT_EQ(WdfWmiInstanceCreate(device, &config, &attributes, &instance), STATUS_SUCCESS);
            *GetSettingsBlock(instance) = settings;
            return 0;
        });
    }

    DriverWorld world;
    const std::u16string modemId = u"USB\\VID_0ABC&PID_1D2E&MI_02\\7&1A2B3C4D&0&0002";
    const std::u16string diagId = u"USB\\VID_0ABC&PID_1D2E&MI_04\\7&1A2B3C4D&0&0004";
    WDFDEVICE modem = world.CreateDevice(modemId);
    WDFDEVICE diag = world.CreateDevice(diagId);
};

TEST_F(Wmi, QueriesReachTheDevicesRegisteredInstances)
{
    const SETTINGS_BLOCK settings{115200, 2, {}};
    AddCounters(modem, 7);
    AddSettings(modem, settings);
    AddCounters(diag, 9);

    struct Case {
        const char* Name;
        WDFDEVICE Device;
        GUID Block;
        ULONG BufferSize;
        NTSTATUS Status;
        ULONG BufferUsed;
        std::vector<std::byte> Data;
        std::u16string InstanceName;
    };
    const Case cases[] = {
        {"a buffer that fits", modem, kCountersBlock, 4, STATUS_SUCCESS, 4, BytesOf(ULONG{7}), modemId + u"_0"},
        {"a larger buffer holds only what was written", modem, kCountersBlock, 64, STATUS_SUCCESS, 4,
         BytesOf(ULONG{7}), modemId + u"_0"},
        {"the other device's own instance", diag, kCountersBlock, 4, STATUS_SUCCESS, 4, BytesOf(ULONG{9}),
         diagId + u"_0"},
        // The framework passes the size on; the callback decides what short means.
        {"a short buffer gets the callback's status and size", modem, kCountersBlock, 3, STATUS_BUFFER_TOO_SMALL,
         4, {}, modemId + u"_0"},
        {"no buffer at all", diag, kCountersBlock, 0, STATUS_BUFFER_TOO_SMALL, 4, {}, diagId + u"_0"},
        {"the context answers for its block", modem, kSettingsBlock, 8, STATUS_SUCCESS, 8, BytesOf(settings),
         modemId + u"_0"},
        {"a short buffer for a context block", modem, kSettingsBlock, 4, STATUS_BUFFER_TOO_SMALL, 8, {},
         modemId + u"_0"},
        {"a block the device does not have", diag, kSettingsBlock, 64, STATUS_WMI_GUID_NOT_FOUND, 0, {}, u""},
        {"a block nobody has", modem, kUnusedBlock, 64, STATUS_WMI_GUID_NOT_FOUND, 0, {}, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const WmiAnswer answer = QueryInstance(c.Device, c.Block, c.BufferSize);
        EXPECT_EQ(answer.Status, c.Status);
        EXPECT_EQ(answer.BufferUsed, c.BufferUsed);
        EXPECT_EQ(answer.Data, c.Data);
        EXPECT_EQ(answer.InstanceName, c.InstanceName);
    }
    // The callback ran as the driver's code, in a context other than the caller's.
    EXPECT_EQ(queryDriver, world.Driver());
    EXPECT_NE(queryContext, platform::ExecutionContext::Current().Id);
}

TEST_F(Wmi, AllInstancesOfABlockInTheOrderTheyWereMade)
{
    const WDFWMIINSTANCE first = AddCounters(modem, 7);
    AddCounters(diag, 9);
    AddCounters(modem, 11, TRUE, WdfWmiInstanceGetProvider(first));
    AddCounters(diag, 13); // the same provider config joins the device's provider of the block
    AddSettings(modem, SETTINGS_BLOCK{9600, 0, {}});

    std::vector<std::u16string> names;
    std::vector<std::vector<std::byte>> data;
    for (const WmiAnswer& answer : QueryAllInstances(kCountersBlock, 4)) {
        EXPECT_EQ(answer.Status, STATUS_SUCCESS);
        names.push_back(answer.InstanceName);
        data.push_back(answer.Data);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{modemId + u"_0", diagId + u"_0", modemId + u"_1", diagId + u"_1"}));
    EXPECT_EQ(data, (std::vector<std::vector<std::byte>>{BytesOf(ULONG{7}), BytesOf(ULONG{9}), BytesOf(ULONG{11}),
                                                         BytesOf(ULONG{13})}));
    EXPECT_TRUE(QueryAllInstances(kUnusedBlock, 4).empty());
}

TEST_F(Wmi, OnlyRegisteredLiveInstancesAreFound)
{
    const WDFWMIINSTANCE instance = AddCounters(modem, 7, FALSE);
    const auto found = [&] { return QueryInstance(modem, kCountersBlock, 4).Status == STATUS_SUCCESS; };
    EXPECT_FALSE(found()) << "made without Register";
    EXPECT_EQ(WdfWmiInstanceRegister(instance), STATUS_SUCCESS);
    EXPECT_TRUE(found());
    WdfWmiInstanceDeregister(instance);
    EXPECT_FALSE(found()) << "deregistered";
    EXPECT_TRUE(QueryAllInstances(kCountersBlock, 4).empty());
    EXPECT_EQ(WdfWmiInstanceRegister(instance), STATUS_SUCCESS);
    EXPECT_TRUE(found()) << "registered again";

    WdfObjectDelete(instance);
    EXPECT_FALSE(found()) << "deleted";
    EXPECT_TRUE(QueryAllInstances(kCountersBlock, 4).empty());
    EXPECT_EQ(cleanedUp, (std::vector<ULONG>{7}));
}

TEST_F(Wmi, AnInstanceIsAChildOfItsDeviceAndGoesWithIt)
{
    // The attributes name another parent; the device is the parent all the same.
    WDFOBJECT elsewhere = nullptr;
    world.AsDriver([&] { return WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &elsewhere); });
    const WDFWMIINSTANCE instance = AddCounters(diag, 9, TRUE, nullptr, elsewhere);
    EXPECT_EQ(WdfWmiInstanceGetDevice(instance), diag);
    WdfObjectDelete(elsewhere);
    EXPECT_EQ(QueryInstance(diag, kCountersBlock, 4).Status, STATUS_SUCCESS);
    EXPECT_TRUE(cleanedUp.empty());

    platform::wdf::DeleteDevice(diag);
    EXPECT_EQ(cleanedUp, (std::vector<ULONG>{9}));
    EXPECT_EQ(QueryInstance(diag, kCountersBlock, 4).Status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_TRUE(QueryAllInstances(kCountersBlock, 4).empty());
}

TEST_F(Wmi, CreationRefusesBrokenConfigsAndFailsOnDemand)
{
    const WDFWMIPROVIDER diagProvider = WdfWmiInstanceGetProvider(AddCounters(diag, 9));

    // A well-formed registered instance of a block of its own on the modem, which each case breaks.
    struct Trial {
        WDF_WMI_PROVIDER_CONFIG Provider;
        WDF_WMI_INSTANCE_CONFIG Instance;
        WDF_OBJECT_ATTRIBUTES Attributes;
        PWDF_WMI_INSTANCE_CONFIG Config;
        PWDF_OBJECT_ATTRIBUTES AttributesGiven;
    };
    struct Case {
        const char* Name;
        std::function<void(Trial&)> Break;
        NTSTATUS Status;
    };
    auto& faults = world.World().Faults();
    const Case cases[] = {
        {"no instance config", [](Trial& t) { t.Config = nullptr; }, STATUS_INVALID_PARAMETER},
        {"an instance config of another size", [](Trial& t) { t.Instance.Size -= 1; }, STATUS_INVALID_PARAMETER},
        {"a provider config of another size", [](Trial& t) { t.Provider.Size = 0; }, STATUS_INVALID_PARAMETER},
        {"unknown provider flags", [](Trial& t) { t.Provider.Flags = 0x100; }, STATUS_INVALID_PARAMETER},
        {"neither a provider nor a provider config", [](Trial& t) { t.Instance.ProviderConfig = nullptr; },
         STATUS_INVALID_PARAMETER},
        {"both a provider and a provider config", [&](Trial& t) { t.Instance.Provider = diagProvider; },
         STATUS_INVALID_PARAMETER},
        {"another device's provider",
         [&](Trial& t) {
             t.Instance.ProviderConfig = nullptr;
             t.Instance.Provider = diagProvider;
         },
         STATUS_INVALID_PARAMETER},
        {"the context answers, but there is none",
         [](Trial& t) {
             t.Instance.UseContextForQuery = TRUE;
             t.Instance.EvtWmiInstanceQueryInstance = nullptr;
             t.AttributesGiven = nullptr;
         },
         STATUS_INVALID_PARAMETER},
        {"the context and a callback both answer", [](Trial& t) { t.Instance.UseContextForQuery = TRUE; },
         STATUS_INVALID_PARAMETER},
        {"creation fails on demand",
         [&](Trial&) { faults.Arm("WdfWmiInstanceCreate", STATUS_INSUFFICIENT_RESOURCES); },
         STATUS_INSUFFICIENT_RESOURCES},
        {"registration fails on demand",
         [&](Trial&) { faults.Arm("WdfWmiInstanceRegister", STATUS_INSUFFICIENT_RESOURCES); },
         STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Trial t;
        WDF_WMI_PROVIDER_CONFIG_INIT(&t.Provider, &kUnusedBlock);
        WDF_WMI_INSTANCE_CONFIG_INIT_PROVIDER_CONFIG(&t.Instance, &t.Provider);
        t.Instance.Register = TRUE;
        t.Instance.EvtWmiInstanceQueryInstance = EvtCountersQuery;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<COUNTERS_CONTEXT>(&t.Attributes);
        t.Config = &t.Instance;
        t.AttributesGiven = &t.Attributes;
        c.Break(t);
        WDFWMIINSTANCE instance = reinterpret_cast<WDFWMIINSTANCE>(&t); // overwritten on every path
        EXPECT_EQ(world.AsDriver([&] { return WdfWmiInstanceCreate(modem, t.Config, t.AttributesGiven, &instance); }),
                  c.Status);
        EXPECT_EQ(instance, nullptr);
        EXPECT_TRUE(QueryAllInstances(kUnusedBlock, 4).empty());
    }
    faults.Clear();
}

} // namespace
