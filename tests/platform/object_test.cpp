// The framework object model: parents and children, cleanup and destroy
// order, references that outlive deletion, typed contexts, collections,
// memory and strings, and the verifier catching handles used wrongly.
#include "platform/wdf/wdf_memory.h"
#include "tests/support/world.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using platform::VerifierCapture;
using platform::VerifierRule;
using x9tr::test::DriverWorld;

struct NODE_CONTEXT {
    int Name;
    ULONG Counter;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(NODE_CONTEXT, GetNodeContext)

struct EXTRA_CONTEXT {
    UCHAR Bytes[40];
};
WDF_DECLARE_CONTEXT_TYPE(EXTRA_CONTEXT)

// What the callbacks saw, in order: "cleanup 2", "destroy 2", ...
std::vector<std::string> events;

void EvtNodeCleanup(WDFOBJECT Object) { events.push_back("cleanup " + std::to_string(GetNodeContext(Object)->Name)); }
void EvtNodeDestroy(WDFOBJECT Object) { events.push_back("destroy " + std::to_string(GetNodeContext(Object)->Name)); }

WDFOBJECT MakeNode(int name, WDFOBJECT parent)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<NODE_CONTEXT>(&attributes);
    attributes.ParentObject = parent;
    attributes.EvtCleanupCallback = EvtNodeCleanup;
    attributes.EvtDestroyCallback = EvtNodeDestroy;
    WDFOBJECT object = nullptr;
    EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    GetNodeContext(object)->Name = name;
    return object;
}

class ObjectModel : public testing::Test {
protected:
    void SetUp() override { events.clear(); }
    DriverWorld world;
};

TEST_F(ObjectModel, DeletionCascadesChildrenFirstNewestFirst)
{
    // 1 -> {2 -> {4}, 3}
    WDFOBJECT root = world.AsDriver([] { return MakeNode(1, nullptr); });
    WDFOBJECT two = MakeNode(2, root);
    MakeNode(3, root);
    MakeNode(4, two);

    WdfObjectDelete(root);

    // Cleanups run from the leaves up. A deleted child stays readable until
    // its parent's cleanup has run (which may read it), and a child holds
    // its parent, so the memory goes from the bottom once the tree is done.
    const std::vector<std::string> expected = {"cleanup 3", "cleanup 4", "cleanup 2", "destroy 4",
                                               "cleanup 1", "destroy 3", "destroy 2", "destroy 1"};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(world.World().Objects().LiveObjects(nullptr).size(), 1u); // the driver alone
}

TEST_F(ObjectModel, ReferenceKeepsDeletedObjectReadableUntilLastDereference)
{
    WDFOBJECT parent = world.AsDriver([] { return MakeNode(1, nullptr); });
    WDFOBJECT child = MakeNode(2, parent);
    WdfObjectReference(child);

    WdfObjectDelete(parent);
    // Both cleanups ran; the referenced child and so its parent are not destroyed yet.
    EXPECT_EQ(events, (std::vector<std::string>{"cleanup 2", "cleanup 1"}));
    ASSERT_NE(GetNodeContext(child), nullptr);
    EXPECT_EQ(GetNodeContext(child)->Name, 2);

    WdfObjectDereference(child);
    EXPECT_EQ(events, (std::vector<std::string>{"cleanup 2", "cleanup 1", "destroy 2", "destroy 1"}));
}

TEST_F(ObjectModel, ContextsAreZeroedTypedAndFindTheirObject)
{
    WDFOBJECT object = world.AsDriver([] { return MakeNode(0, nullptr); });
    NODE_CONTEXT* node = GetNodeContext(object);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->Counter, 0u);
    EXPECT_EQ(WdfObjectContextGetObject(node), object);
    // A type the object does not carry is not found; a second one can be added once.
    EXPECT_EQ(WdfObjectGet_EXTRA_CONTEXT(object), nullptr);
    WDF_OBJECT_ATTRIBUTES extra;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE<EXTRA_CONTEXT>(&extra);
    PVOID context = nullptr;
    ASSERT_EQ(WdfObjectAllocateContext(object, &extra, &context), STATUS_SUCCESS);
    EXPECT_EQ(context, WdfObjectGet_EXTRA_CONTEXT(object));
    const UCHAR zeros[40] = {};
    EXPECT_EQ(std::memcmp(WdfObjectGet_EXTRA_CONTEXT(object)->Bytes, zeros, sizeof(zeros)), 0);
    EXPECT_EQ(WdfObjectAllocateContext(object, &extra, &context), STATUS_OBJECT_NAME_COLLISION);
    WdfObjectDelete(object);
}

TEST_F(ObjectModel, ObjectsWithoutParentBelongToTheRunningDriver)
{
    WDFOBJECT object = nullptr;
    world.AsDriver([&] { return WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object); });
    auto* found = world.World().Objects().Resolve(object, platform::wdf::ObjectKind::Generic, "test");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->Parent()->Handle(), world.Driver());
    // Unloading the driver deletes it without a leak report.
}

TEST_F(ObjectModel, VerifierReportsMisuseOfHandles)
{
    struct Misuse {
        const char* Name;
        VerifierRule Rule;
        void (*Run)(WDFOBJECT deleted, WDFCOLLECTION collection);
    };
    const Misuse cases[] = {
        {"context of a destroyed object", VerifierRule::UseAfterDelete,
         [](WDFOBJECT deleted, WDFCOLLECTION) { EXPECT_EQ(GetNodeContext(deleted), nullptr); }},
        {"delete twice", VerifierRule::UseAfterDelete, [](WDFOBJECT deleted, WDFCOLLECTION) { WdfObjectDelete(deleted); }},
        {"add a destroyed object to a collection", VerifierRule::UseAfterDelete,
         [](WDFOBJECT deleted, WDFCOLLECTION collection) {
             EXPECT_EQ(WdfCollectionAdd(collection, deleted), STATUS_INVALID_HANDLE);
         }},
        {"a value that never was a handle", VerifierRule::InvalidHandle,
         [](WDFOBJECT, WDFCOLLECTION) { WdfObjectDelete(reinterpret_cast<WDFOBJECT>(std::uintptr_t{0x1234})); }},
        {"a collection call on a generic object", VerifierRule::WrongObjectType,
         [](WDFOBJECT, WDFCOLLECTION collection) {
             WDFOBJECT other = nullptr;
             WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &other);
             EXPECT_EQ(WdfCollectionGetCount(static_cast<WDFCOLLECTION>(other)), 0u);
             WdfCollectionAdd(collection, other);
             WdfObjectDelete(other);
         }},
        {"dereference nobody took", VerifierRule::ReferenceUnderflow,
         [](WDFOBJECT, WDFCOLLECTION collection) { WdfObjectDereference(collection); }},
        {"delete the driver", VerifierRule::NotDeletable, [](WDFOBJECT, WDFCOLLECTION) { WdfObjectDelete(WdfGetDriver()); }},
    };
    for (const Misuse& misuse : cases) {
        SCOPED_TRACE(misuse.Name);
        world.AsDriver([&] {
            WDFOBJECT deleted = MakeNode(9, nullptr);
            WdfObjectDelete(deleted);
            WDFCOLLECTION collection = nullptr;
            EXPECT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
            {
                VerifierCapture capture;
                misuse.Run(deleted, collection);
                EXPECT_TRUE(capture.Saw(misuse.Rule));
            }
            WdfObjectDelete(collection);
            return 0;
        });
    }
}

TEST_F(ObjectModel, DoubleDeleteOfAReferencedObject)
{
    WDFOBJECT object = world.AsDriver([] { return MakeNode(1, nullptr); });
    WdfObjectReference(object);
    WdfObjectDelete(object);
    {
        VerifierCapture capture;
        WdfObjectDelete(object);
        EXPECT_TRUE(capture.Saw(VerifierRule::DoubleDelete));
    }
    WdfObjectDereference(object);
}

TEST(ObjectLeaks, ReportedWhenTheDriverUnloads)
{
    VerifierCapture capture;
    {
        DriverWorld world;
        world.AsDriver([] {
            WDFOBJECT object = nullptr;
            WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object);
            WdfObjectReference(object); // never dropped
            return 0;
        });
    }
    ASSERT_TRUE(capture.Saw(VerifierRule::Leak));
    EXPECT_NE(capture.Reports().front().Message.find("driver X9TRtest"), std::string::npos)
        << capture.Reports().front().Message;
}

TEST(ObjectLeaks, NoneForObjectsTheDriverTreeDeletes)
{
    VerifierCapture capture;
    {
        DriverWorld world;
        world.AsDriver([] {
            WDFCOLLECTION collection = nullptr;
            WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection);
            WDFOBJECT item = nullptr;
            WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &item);
            WdfCollectionAdd(collection, item);
            return 0;
        });
    }
    EXPECT_TRUE(capture.Reports().empty());
}

TEST_F(ObjectModel, CollectionsHoldReferencesAndKeepOrder)
{
    world.AsDriver([&] {
        WDFCOLLECTION collection = nullptr;
        ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
        WDFOBJECT a = MakeNode(1, nullptr);
        WDFOBJECT b = MakeNode(2, nullptr);
        WDFOBJECT c = MakeNode(3, nullptr);
        for (WDFOBJECT item : {a, b, c}) {
            ASSERT_EQ(WdfCollectionAdd(collection, item), STATUS_SUCCESS);
        }
        EXPECT_EQ(WdfCollectionGetCount(collection), 3u);
        EXPECT_EQ(WdfCollectionGetFirstItem(collection), a);
        EXPECT_EQ(WdfCollectionGetLastItem(collection), c);
        EXPECT_EQ(WdfCollectionGetItem(collection, 1), b);
        EXPECT_EQ(WdfCollectionGetItem(collection, 3), nullptr);

        // An object deleted while in the collection stays there, readable.
        WdfObjectDelete(b);
        EXPECT_EQ(events, std::vector<std::string>{"cleanup 2"});
        EXPECT_EQ(GetNodeContext(WdfCollectionGetItem(collection, 1))->Name, 2);
        WdfCollectionRemove(collection, b);
        EXPECT_EQ(events, (std::vector<std::string>{"cleanup 2", "destroy 2"}));

        WdfCollectionRemove(collection, b); // no longer there: nothing happens
        WdfCollectionRemoveItem(collection, 0);
        EXPECT_EQ(WdfCollectionGetFirstItem(collection), c);
        WdfObjectDelete(a);
        EXPECT_EQ(events.back(), "destroy 1");
        WdfObjectDelete(c); // still held by the collection
        EXPECT_EQ(events.back(), "cleanup 3");
        WdfObjectDelete(collection);
        EXPECT_EQ(events.back(), "destroy 3");
    });
}

TEST_F(ObjectModel, CollectionAddCanFail)
{
    world.AsDriver([&] {
        WDFCOLLECTION collection = nullptr;
        WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection);
        WDFOBJECT item = MakeNode(1, nullptr);
        world.World().Faults().Arm("WdfCollectionAdd", STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(WdfCollectionAdd(collection, item), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(WdfCollectionGetCount(collection), 0u);
        EXPECT_EQ(WdfCollectionAdd(collection, item), STATUS_SUCCESS);
        WdfObjectDelete(collection);
        WdfObjectDelete(item);
    });
}

TEST_F(ObjectModel, MemoryCopiesStayInsideTheBuffer)
{
    world.AsDriver([&] {
        WDFMEMORY memory = nullptr;
        PVOID buffer = nullptr;
        ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, MakePoolTag("MDM "), 8, &memory, &buffer),
                  STATUS_SUCCESS);
        std::size_t size = 0;
        EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
        EXPECT_EQ(size, 8u);
        platform::wdf::MemoryFacts facts{};
        ASSERT_TRUE(platform::wdf::GetMemoryFacts(memory, &facts));
        EXPECT_EQ(facts.PoolTag, 0x204D444Du);
        EXPECT_EQ(facts.PoolType, NonPagedPool);

        UCHAR in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        UCHAR out[9] = {};
        struct Copy {
            std::size_t Offset;
            std::size_t Count;
            NTSTATUS Status;
        };
        for (const Copy& copy : {Copy{0, 8, STATUS_SUCCESS}, Copy{8, 0, STATUS_SUCCESS}, Copy{4, 4, STATUS_SUCCESS},
                                 Copy{5, 4, STATUS_BUFFER_TOO_SMALL}, Copy{9, 0, STATUS_BUFFER_TOO_SMALL},
                                 Copy{0, 9, STATUS_BUFFER_TOO_SMALL},
                                 Copy{1, static_cast<std::size_t>(-1), STATUS_BUFFER_TOO_SMALL}}) {
            SCOPED_TRACE(copy.Offset);
            EXPECT_EQ(WdfMemoryCopyFromBuffer(memory, copy.Offset, in, copy.Count), copy.Status);
            EXPECT_EQ(WdfMemoryCopyToBuffer(memory, copy.Offset, out, copy.Count), copy.Status);
        }
        EXPECT_EQ(WdfMemoryCopyToBuffer(memory, 0, out, 8), STATUS_SUCCESS);
        EXPECT_EQ(out[0], 1);
        EXPECT_EQ(out[4], 1); // the offset-4 copy wrote in[0] there
        WdfObjectDelete(memory);
    });
}

TEST_F(ObjectModel, StringsOwnTheirText)
{
    world.AsDriver([&] {
        UNICODE_STRING source = RTL_CONSTANT_STRING(u"X9TRmdm");
        WDFSTRING string = nullptr;
        ASSERT_EQ(WdfStringCreate(&source, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
        UNICODE_STRING text{};
        WdfStringGetUnicodeString(string, &text);
        EXPECT_EQ(platform::View(text), u"X9TRmdm");
        EXPECT_NE(text.Buffer, source.Buffer);
        WdfObjectDelete(string);
    });
}

} // namespace
