// Everything driver code calls: the kernel basics and the framework. A
// driver source includes this one header.
#pragma once

#include "platform/kernel/event.h"
#include "platform/kernel/ntdef.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/unicode.h"
#include "platform/kernel/wdm.h"
#include "platform/wdf/wdf_collection.h"
#include "platform/wdf/wdf_device.h"
#include "platform/wdf/wdf_driver.h"
#include "platform/wdf/wdf_memory.h"
#include "platform/wdf/wdf_object.h"
#include "platform/wdf/wdf_registry.h"
#include "platform/wdf/wdf_string.h"
#include "platform/wdf/wdf_sync.h"
#include "platform/wdf/wdf_types.h"
