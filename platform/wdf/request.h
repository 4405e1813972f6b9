// Inside the platform: the framework request object.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/wdf/object.h"
#include "platform/wdf/wdf_request.h"

namespace platform::wdf {

class Request final : public Object {
public:
    Request() : Object(ObjectKind::Request) {}

    PIRP Irp = nullptr;
    bool FreesIrp = false;
    NTSTATUS Status = STATUS_SUCCESS;
    bool Formatted = false;
    bool Sent = false;
    bool Done = false;

    void OnDestroy() override;
};

Request* ResolveRequest(WDFREQUEST handle, const char* operation);

} // namespace platform::wdf
