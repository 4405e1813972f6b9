// Inside the platform: a device's default child list and what it tells the
// Plug and Play manager.
#pragma once

#include "platform/wdf/device.h"

#include <vector>

namespace platform::wdf {

class ChildList final : public Object {
public:
    ChildList() : Object(ObjectKind::ChildList) {}

    enum class State { New, Present, Missing };
    struct Child {
        std::vector<std::byte> Description;
        State ChildState = State::New;
        bool Reported = false;
        WDFDEVICE Pdo = nullptr;
    };

    Device* Parent = nullptr;
    WDF_CHILD_LIST_CONFIG Config{};
    std::vector<Child> Children;
    bool Scanning = false;
};

NTSTATUS CreateDefaultChildList(Device& parent, const WDF_CHILD_LIST_CONFIG& config);

} // namespace platform::wdf
