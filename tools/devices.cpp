// The device tree as text and as JSON.
#include "tools/devices.h"

#include <cstdio>

namespace x9tr {

namespace {

using platform::Utf16ToUtf8;

std::string Hex32(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

nlohmann::ordered_json Strings(const std::vector<std::u16string>& list)
{
    auto array = nlohmann::ordered_json::array();
    for (const auto& item : list) {
        array.push_back(Utf16ToUtf8(item));
    }
    return array;
}

nlohmann::ordered_json InstanceNumber(platform::Platform& world, const platform::pnp::DeviceNode& node)
{
    platform::RegistryValue value;
    if (NT_SUCCESS(world.Registry().QueryValue(node.HardwareKeyPath(), u"InstanceNumber", &value))) {
        if (auto number = value.AsDword()) {
            return *number;
        }
    }
    return nullptr;
}

nlohmann::ordered_json Driver(const platform::pnp::DeviceNode& node)
{
    if (node.Service.empty() || node.Fdo == nullptr) {
        return nullptr;
    }
    return Utf16ToUtf8(node.Service);
}

} // namespace

nlohmann::ordered_json DeviceTreeJson(platform::Platform& world, const platform::pnp::DeviceNode& parent)
{
    nlohmann::ordered_json children = nlohmann::ordered_json::array();
    for (const auto& child : parent.Children) {
        nlohmann::ordered_json entry;
        entry["deviceId"] = Utf16ToUtf8(child->DeviceId);
        entry["hardwareIds"] = Strings(child->HardwareIds);
        entry["compatibleIds"] = Strings(child->CompatibleIds);
        entry["instanceId"] = Utf16ToUtf8(child->InstanceId);
        entry["description"] = Utf16ToUtf8(child->Description);
        entry["location"] = Utf16ToUtf8(child->Location);
        entry["address"] = child->Address;
        entry["driver"] = Driver(*child);
        children.push_back(std::move(entry));
    }
    nlohmann::ordered_json node;
    node["instancePath"] = Utf16ToUtf8(parent.InstancePath);
    node["driver"] = parent.Service.empty() ? nlohmann::ordered_json(nullptr)
                                            : nlohmann::ordered_json(Utf16ToUtf8(parent.Service));
    node["status"] = Hex32(parent.StartStatus);
    node["instanceNumber"] = InstanceNumber(world, parent);
    node["hardwareKey"] = Utf16ToUtf8(parent.HardwareKeyPath());
    node["softwareKey"] = Utf16ToUtf8(parent.SoftwareKeyPath);
    node["children"] = std::move(children);
    nlohmann::ordered_json document;
    document["parent"] = std::move(node);
    return document;
}

std::string DeviceTreeText(platform::Platform& world, const platform::pnp::DeviceNode& parent)
{
    const auto json = DeviceTreeJson(world, parent)["parent"];
    std::string text;
    auto line = [&text](const std::string& indent, const std::string& name, const std::string& value) {
        char buffer[64];
        std::snprintf(buffer, sizeof(buffer), "%-16s", name.c_str());
        text += indent + buffer + value + "\n";
    };
    auto show = [](const nlohmann::ordered_json& value) {
        if (value.is_null()) {
            return std::string("none");
        }
        return value.is_string() ? value.get<std::string>() : value.dump();
    };
    text += "parent " + json["instancePath"].get<std::string>() + "\n";
    line("  ", "driver", show(json["driver"]));
    line("  ", "start status", json["status"].get<std::string>());
    line("  ", "instance number", show(json["instanceNumber"]));
    line("  ", "hardware key", json["hardwareKey"].get<std::string>());
    line("  ", "software key", show(json["softwareKey"]));
    std::size_t index = 0;
    for (const auto& child : json["children"]) {
        text += "  child " + std::to_string(++index) + ": " + child["deviceId"].get<std::string>() + "\n";
        bool first = true;
        for (const auto& id : child["hardwareIds"]) {
            line("    ", first ? "hardware IDs" : "", id.get<std::string>());
            first = false;
        }
        first = true;
        for (const auto& id : child["compatibleIds"]) {
            line("    ", first ? "compatible IDs" : "", id.get<std::string>());
            first = false;
        }
        line("    ", "instance ID", child["instanceId"].get<std::string>());
        line("    ", "description", child["description"].get<std::string>());
        line("    ", "location", child["location"].get<std::string>());
        line("    ", "address", child["address"].dump());
        line("    ", "driver", show(child["driver"]));
    }
    if (index == 0) {
        text += "  no children\n";
    }
    return text;
}

} // namespace x9tr
