// Child identity on the default handset and the pending enumeration of a
// parent whose predecessor of the same instance is still there.
#include "base/bus/bus_driver.h"
#include "handset/default_handset.h"
#include "platform/wdf/device.h"
#include "platform/wdf/device.h"
#include "tools/machine.h"

#include <gtest/gtest.h>

namespace {

using platform::pnp::DeviceNode;

std::unique_ptr<handset::Handset> DefaultHandset(bool uniqueId = true)
{
    handset::Profile profile = handset::DefaultHandsetProfile();
    profile.UniqueId = uniqueId;
    return std::make_unique<handset::Handset>(std::move(profile));
}

TEST(BusChildren, IdentityOfEachFunction)
{
    x9tr::Machine machine;
    DeviceNode* parent = machine.Plug(DefaultHandset());
    machine.Settle();
    ASSERT_EQ(parent->Children.size(), 5u);
    const DeviceNode& diagnostic = *parent->Children[1];
    EXPECT_EQ(diagnostic.DeviceId, u"USB\\Vid_0abc&Pid_1d2e&Mi_02");
    ASSERT_EQ(diagnostic.HardwareIds.size(), 10u);
    EXPECT_EQ(diagnostic.HardwareIds.front(), u"USB\\Vid_0abc&Pid_1d2e&Rev_0100&Mi_02&Os_NT");
    EXPECT_EQ(diagnostic.HardwareIds.back(), u"USB\\Vid_0abc&Pid_1d2e&Class_02");
    EXPECT_EQ(diagnostic.CompatibleIds,
              (std::vector<std::u16string>{u"USB\\Class_02&SubClass_0a&Prot_01", u"USB\\Class_02&SubClass_0a",
                                           u"USB\\Class_02"}));
    EXPECT_EQ(diagnostic.InstanceId, u"X9TR0001_02");
    EXPECT_EQ(diagnostic.InstancePath, u"USB\\Vid_0abc&Pid_1d2e&Mi_02\\X9TR0001_02");
    EXPECT_EQ(diagnostic.Description, u"X9TR Diagnostic Port");
    EXPECT_EQ(diagnostic.Location, u"X9TR Handset");

    const std::vector<ULONG> addresses = {0, 2, 3, 5, 6};
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        EXPECT_EQ(parent->Children[i]->Address, addresses[i]);
        // Children are not removable, whatever the handset is.
        auto* pdo = machine.World().Objects().ResolveAs<platform::wdf::Device>(
            parent->Children[i]->PdoDevice, platform::wdf::ObjectKind::Device, "test");
        EXPECT_EQ(pdo->PnpCapabilities.Removable, WdfFalse);
        EXPECT_EQ(pdo->PnpCapabilities.UniqueID, WdfTrue);
        EXPECT_EQ(pdo->PowerCapabilities.DeviceWake, PowerDeviceD2);
    }
}

TEST(BusChildren, WithoutUniqueIdTheInstanceIdIsTheInterface)
{
    x9tr::Machine machine;
    DeviceNode* parent = machine.Plug(DefaultHandset(false));
    machine.Settle();
    ASSERT_EQ(parent->Children.size(), 5u);
    EXPECT_EQ(parent->Children[1]->InstanceId, u"02");
    // The system makes such children unique by their parent.
    EXPECT_NE(parent->Children[1]->InstancePath.find(u"&02"), std::u16string::npos);
}

TEST(BusChildren, FunctionWithoutStringHasEmptyDescriptionButItsLocation)
{
    handset::Profile profile = handset::DefaultHandsetProfile();
    // Take the vendor interface's name away: its iInterface is byte 8 of its descriptor.
    auto& c = profile.Configuration;
    for (std::size_t at = 0; at + 9 <= c.size(); at += std::to_integer<std::size_t>(c[at])) {
        if (c[at + 1] == std::byte{0x04} && c[at + 5] == std::byte{0xFF}) {
            c[at + 8] = std::byte{0};
        }
        if (c[at] == std::byte{0}) {
            break;
        }
    }
    x9tr::Machine machine;
    DeviceNode* parent = machine.Plug(std::make_unique<handset::Handset>(std::move(profile)));
    machine.Settle();
    ASSERT_EQ(parent->Children.size(), 5u);
    EXPECT_EQ(parent->Children[3]->Description, u"");
    EXPECT_EQ(parent->Children[3]->Location, u"X9TR Handset");
}

TEST(BusChildren, SecondParentOfTheSameInstanceWaitsForTheFirstsCleanup)
{
    x9tr::Machine machine;
    DeviceNode* first = machine.Plug(DefaultHandset());
    machine.Settle();
    ASSERT_EQ(first->Children.size(), 5u);
    // The handset goes, but something still holds the old parent.
    machine.Pnp().Unplug(first, true);
    machine.Settle();

    DeviceNode* second = machine.Plug(DefaultHandset());
    DeviceNode* third = machine.Plug(DefaultHandset());
    machine.Settle();
    EXPECT_EQ(second->StartStatus, STATUS_SUCCESS);
    EXPECT_TRUE(second->Children.empty());
    EXPECT_TRUE(third->Children.empty());

    // Another handset is not held up.
    handset::Profile other = handset::DefaultHandsetProfile();
    other.Strings[3] = u"OTHER0001";
    DeviceNode* unrelated = machine.Plug(std::make_unique<handset::Handset>(std::move(other)));
    machine.Settle();
    EXPECT_EQ(unrelated->Children.size(), 5u);

    // The old parent is cleaned up: only the first pending parent enumerates.
    machine.Pnp().FinishRemoval(first);
    machine.Settle();
    EXPECT_EQ(second->Children.size(), 5u);
    EXPECT_TRUE(third->Children.empty());
}

TEST(BusChildren, UnplugRemovesEveryChildAndTheParent)
{
    x9tr::Machine machine;
    DeviceNode* parent = machine.Plug(DefaultHandset());
    machine.Settle();
    const std::size_t objectsWithHandset = machine.World().Objects().Count();
    machine.Pnp().Unplug(parent);
    machine.Settle();
    EXPECT_TRUE(machine.Pnp().Roots().empty());
    EXPECT_LT(machine.World().Objects().Count(), objectsWithHandset);
    // Plugged again it comes back the same: same instance number, same children.
    DeviceNode* again = machine.Plug(DefaultHandset());
    machine.Settle();
    EXPECT_EQ(again->Children.size(), 5u);
    platform::RegistryValue number;
    ASSERT_EQ(machine.World().Registry().QueryValue(again->HardwareKeyPath(), u"InstanceNumber", &number),
              STATUS_SUCCESS);
    EXPECT_EQ(number.AsDword(), 0u);
}

} // namespace

namespace {

TEST(BusChildren, ParentThatFailedToStartReleasesNoWaitingParent)
{
    x9tr::Machine machine;
    DeviceNode* first = machine.Plug(DefaultHandset());
    machine.Settle();
    machine.Pnp().Unplug(first, true);
    DeviceNode* second = machine.Plug(DefaultHandset());
    machine.Settle();
    ASSERT_TRUE(second->Children.empty());

    // A third parent of the same instance fails to start and goes.
    machine.World().Faults().Arm("WdfUsbTargetDeviceAllocAndQueryString", STATUS_INSUFFICIENT_RESOURCES);
    DeviceNode* failed = machine.Plug(DefaultHandset());
    machine.Settle();
    EXPECT_EQ(failed->StartStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(second->Children.empty());

    machine.Pnp().FinishRemoval(first);
    machine.Settle();
    EXPECT_EQ(second->Children.size(), 5u);
}

} // namespace

namespace {

// The parent's start when one framework call fails, as the failure table says.
TEST(BusFailures, OneCallFailingStopsTheStartWithItsStatus)
{
    struct Case {
        const char* Operation;
        int Skip;
        NTSTATUS Status;
        NTSTATUS Start;
        std::size_t Children;
    };
    const Case cases[] = {
        {"WdfRequestCreateFromIrp", 0, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, 0},
        {"WdfFdoQueryForInterface", 0, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED, 0},
        {"WdfUsbTargetDeviceCreate", 0, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, 0},
        {"WdfUsbTargetDeviceSelectConfig", 0, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, 0},
        // The driver's entry makes the first collection; the walk's description collection is the next.
        {"WdfCollectionCreate", 1, STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, 0},
        // A driver whose entry fails serves no device.
        {"WdfCollectionCreate", 0, STATUS_INSUFFICIENT_RESOURCES, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        // Any memory of a description failing fails the whole walk.
        {"WdfMemoryCreate", 3, STATUS_INSUFFICIENT_RESOURCES, STATUS_DEVICE_ENUMERATION_ERROR, 0},
        // One report failing: the next is still made, and the last one's status is the result.
        {"WdfChildListAddOrUpdateChildDescriptionAsPresent", 1, STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS, 4},
        // The last report failing fails the preparation: the parent does not start.
        {"WdfChildListAddOrUpdateChildDescriptionAsPresent", 4, STATUS_INSUFFICIENT_RESOURCES,
         STATUS_INSUFFICIENT_RESOURCES, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Operation << " after " << c.Skip);
        x9tr::Machine machine;
        machine.World().Faults().Arm(c.Operation, c.Status, c.Skip);
        DeviceNode* parent = machine.Plug(DefaultHandset());
        machine.Settle();
        EXPECT_EQ(parent->StartStatus, c.Start) << NtStatusName(parent->StartStatus);
        EXPECT_EQ(parent->Children.size(), c.Children);
    }
}

TEST(BusChildren, HardwareIdsInTheirOrderAndDisabledDescriptionsKept)
{
    x9tr::Machine machine;
    const std::u16string software = platform::wdf::SoftwareKeyPathFor(u"{36fc9e60-c465-11cf-8056-444553540000}", 3);
    auto& registry = machine.World().Registry();
    const std::u16string enumKey = std::u16string(platform::kEnumKey) + u"\\USB\\VID_0ABC&PID_1D2E\\X9TR0001";
    registry.OpenKey(enumKey, true);
    registry.SetValue(enumKey, u"Driver", platform::RegistryValue::String(u"{36fc9e60-c465-11cf-8056-444553540000}\\0003"));
    registry.OpenKey(software, true);
    registry.SetValue(software, u"DisableIf_05", platform::RegistryValue::Dword(1));
    DeviceNode* parent = machine.Plug(DefaultHandset());
    machine.Settle();
    ASSERT_EQ(parent->Children.size(), 4u);
    const std::vector<std::u16string> expected = {
        u"USB\\Vid_0abc&Pid_1d2e&Rev_0100&Mi_00&Os_NT",
        u"USB\\Vid_0abc&Pid_1d2e&Rev_0100&Mi_00",
        u"USB\\Vid_0abc&Pid_1d2e&Mi_00&Os_NT",
        u"USB\\Vid_0abc&Pid_1d2e&Mi_00",
        u"USB\\Vid_0abc&Pid_1d2e&Class_02&SubClass_02&Prot_01&Os_NT",
        u"USB\\Vid_0abc&Pid_1d2e&Class_02&SubClass_02&Prot_01",
        u"USB\\Vid_0abc&Pid_1d2e&Class_02&SubClass_02&Os_NT",
        u"USB\\Vid_0abc&Pid_1d2e&Class_02&SubClass_02",
        u"USB\\Vid_0abc&Pid_1d2e&Class_02&Os_NT",
        u"USB\\Vid_0abc&Pid_1d2e&Class_02",
    };
    EXPECT_EQ(parent->Children[0]->HardwareIds, expected);
    // The disabled description is built and collected, just not reported.
    auto* context = x9trbus::GetParentFdoContext(parent->Fdo);
    const ULONG count = WdfCollectionGetCount(context->IdDescriptionCollection);
    ASSERT_EQ(count, 5u);
    auto* vendor = static_cast<x9trbus::PCHILD_IDENTIFICATION_DESCRIPTION>(
        WdfMemoryGetBuffer(static_cast<WDFMEMORY>(WdfCollectionGetItem(context->IdDescriptionCollection, 3)), nullptr));
    EXPECT_EQ(vendor->InterfaceNumber, 5);
    EXPECT_TRUE(vendor->Disabled);
    // A function driver's request to re-enumerate its child is refused.
    EXPECT_FALSE(x9trbus::BusEvtChildListDeviceReenumerated(nullptr, nullptr, nullptr, nullptr));
}

} // namespace
