// The USB driver library routines on real descriptor bytes: the camera's own
// configuration and hand-made malformed ones.
#include <cstring>

#include "SimDescriptors.h"
#include "UsbStackTestUtil.h"

using namespace orvex::sim;

namespace {

PUSB_CONFIGURATION_DESCRIPTOR Cd(std::vector<uint8_t>& bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

size_t Offset(const std::vector<uint8_t>& bytes, const void* p) {
    return static_cast<size_t>(static_cast<const uint8_t*>(p) - bytes.data());
}

}  // namespace

class Usbd : public hosted::PlatformTest {};

TEST_F(Usbd, ParseRoutinesFindInterfacesByEveryCriterionAndWalkByLength) {
    auto bytes = BuildDefaultConfigDescriptor();
    auto* cd = Cd(bytes);
    auto find = [&](PVOID from, LONG number, LONG alt, LONG cls, LONG sub, LONG proto) {
        return USBD_ParseConfigurationDescriptorEx(cd, from, number, alt, cls, sub, proto);
    };
    for (int n = 0; n < 4; ++n) {
        auto* id = find(cd, n, 0, -1, -1, -1);
        ASSERT_NE(id, nullptr) << n;
        EXPECT_EQ(id->bInterfaceNumber, n);
        EXPECT_EQ(id->bAlternateSetting, 0);
    }
    EXPECT_EQ(find(cd, 4, 0, -1, -1, -1), nullptr);
    EXPECT_EQ(find(cd, 1, 4, -1, -1, -1), nullptr);
    ASSERT_NE(find(cd, 1, 3, -1, -1, -1), nullptr);
    EXPECT_EQ(find(cd, 1, 3, -1, -1, -1)->bNumEndpoints, 1);
    // Class filters: the first audio-streaming interface is 3/0.
    ASSERT_NE(find(cd, -1, -1, 0x01, 0x02, -1), nullptr);
    EXPECT_EQ(find(cd, -1, -1, 0x01, 0x02, -1)->bInterfaceNumber, 3);
    EXPECT_EQ(find(cd, -1, -1, 0x0E, 0x02, 0x01), nullptr);
    // Searching on from just past a match finds the next one.
    auto* vs0 = find(cd, 1, -1, -1, -1, -1);
    ASSERT_NE(vs0, nullptr);
    auto* vs1 = find(reinterpret_cast<PUCHAR>(vs0) + vs0->bLength, 1, -1, -1, -1, -1);
    ASSERT_NE(vs1, nullptr);
    EXPECT_EQ(vs1->bAlternateSetting, 1);
    EXPECT_GT(Offset(bytes, vs1), Offset(bytes, vs0));
    // A start position outside the descriptor finds nothing.
    EXPECT_EQ(find(bytes.data() + bytes.size(), -1, -1, -1, -1, -1), nullptr);
    auto* old = USBD_ParseConfigurationDescriptor(cd, 3, 1);
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->bAlternateSetting, 1);

    // USBD_ParseDescriptors: every descriptor by its length, or the first of a type.
    const ULONG size = static_cast<ULONG>(bytes.size());
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data(), size, bytes.data(), -1),
              reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(bytes.data()));  // the start itself matches
    int endpoints = 0, associations = 0;
    for (auto* d = USBD_ParseDescriptors(bytes.data(), size, bytes.data(), -1); d;
         d = USBD_ParseDescriptors(bytes.data(), size, reinterpret_cast<PUCHAR>(d) + d->bLength, -1)) {
        endpoints += d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE;
        associations += d->bDescriptorType == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE;
    }
    EXPECT_EQ(endpoints, 5);  // interrupt, three video iso alternates, one audio iso
    EXPECT_EQ(associations, 2);
    auto* ep = USBD_ParseDescriptors(bytes.data(), size, bytes.data(), USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(ep)->bEndpointAddress, 0x83);
}

// Bytes the real routines would walk out of, or never leave: each is a
// verifier finding (and NULL) here. A search that matches before it reaches
// the bad bytes walks no further and finds nothing wrong.
TEST_F(Usbd, UnvalidatedDescriptorsAreVerifierFindings) {
    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
        int interfaceNumber;  // searched for at alternate setting -1 (any)
        bool found;           // the search matches before the bad bytes
        const char* finding;  // expected in the violation text; nullptr: none
    };
    auto totalBelowHeader = ConfigBuilder().Interface(0, 0, 0, 0xFF, 0, 0).Build();
    totalBelowHeader[2] = 5;
    auto cutInterface = ConfigBuilder().Interface(0, 0, 0, 0xFF, 0, 0).Build();
    cutInterface[2] = 9 + 5;  // wTotalLength ends inside the interface descriptor
    const std::vector<Row> rows = {
        {"zero bLength after the match", ConfigBuilder().Interface(0, 0, 0, 0xFF, 0, 0).Raw({0, 0x24, 1, 2})
             .Interface(1, 0, 0, 0xFF, 0, 0).Build(), 0, true, nullptr},
        {"zero bLength before the match", ConfigBuilder().Interface(0, 0, 0, 0xFF, 0, 0).Raw({0, 0x24, 1, 2})
             .Interface(1, 0, 0, 0xFF, 0, 0).Build(), 1, false, "at offset 18: bLength 0 never moves"},
        {"bLength 1", ConfigBuilder().Raw({1, 0x24}).Interface(0, 0, 0, 0xFF, 0, 0).Build(), 0, false,
         "at offset 9: bLength 1"},
        {"wTotalLength below the header", totalBelowHeader, 0, false, "at offset 0: bLength 9 reaches past the end"},
        {"interface cut by wTotalLength", cutInterface, 0, false, "at offset 9: bLength 9 reaches past the end"},
        {"short interface descriptor", ConfigBuilder().Raw({5, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0})
             .Interface(0, 1, 0, 0xFF, 0, 0).Build(), 0, false, "interface descriptor of 5 bytes"},
    };
    for (auto row : rows) {
        SCOPED_TRACE(row.name);
        auto* cd = Cd(row.bytes);
        auto* id = USBD_ParseConfigurationDescriptorEx(cd, cd, row.interfaceNumber, -1, -1, -1, -1);
        EXPECT_EQ(id != nullptr, row.found);
        const auto findings = hosted::Verifier::Take();
        if (!row.finding) {
            EXPECT_TRUE(findings.empty());
            continue;
        }
        ASSERT_EQ(findings.size(), 1u);
        EXPECT_NE(findings[0].find("USBD_ParseConfigurationDescriptorEx"), std::string::npos) << findings[0];
        EXPECT_NE(findings[0].find(row.finding), std::string::npos) << findings[0];
    }

    // A wTotalLength beyond the pool buffer the descriptor was read into.
    auto bytes = ConfigBuilder().Interface(0, 0, 0, 0xFF, 0, 0).Build();
    auto* pooled = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes.size(), hosted::Tag("Test")));
    std::memcpy(pooled, bytes.data(), bytes.size());
    pooled[2] = 200;
    auto* pcd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(pooled);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(pcd, pcd, 0, 0, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(pooled, 19, pooled, -1), nullptr);
    auto findings = hosted::Verifier::Take();
    ASSERT_EQ(findings.size(), 2u);
    EXPECT_NE(findings[0].find("its length 200 reaches past the 18-byte buffer"), std::string::npos) << findings[0];
    EXPECT_NE(findings[1].find("USBD_ParseDescriptors"), std::string::npos) << findings[1];
    pooled[2] = 18;
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(pcd, pcd, 0, 0, -1, -1, -1), nullptr);
    EXPECT_TRUE(hosted::Verifier::Take().empty());
    ExFreePool(pooled);
    // A buffer too small to hold the header that wTotalLength is read from.
    auto* tiny = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPoolNx, 4, hosted::Tag("Test")));
    std::memcpy(tiny, bytes.data(), 4);
    USBD_INTERFACE_LIST_ENTRY noInterfaces[1] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(tiny, tiny, 0, 0, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(tiny, noInterfaces), nullptr);
    findings = hosted::Verifier::Take();
    ASSERT_EQ(findings.size(), 2u);
    EXPECT_NE(findings[1].find("the 9-byte header does not fit the 4-byte buffer"), std::string::npos) << findings[1];
    ExFreePool(tiny);

    // The request builder reads bNumEndpoints endpoint descriptors after each
    // listed interface: fewer before the end, or a malformed one, is a finding.
    struct BuildRow {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* finding;
    };
    const std::vector<BuildRow> builds = {
        {"endpoints lying", ConfigBuilder().Interface(0, 0, 3, 0xFF, 0, 0).Endpoint(0x81, 2, 512, 0).Build(),
         "announces 3 endpoints, only 1 follow it"},
        {"short endpoint", ConfigBuilder().Interface(0, 0, 1, 0xFF, 0, 0).Raw({4, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, 2})
             .Build(), "endpoint descriptor of 4 bytes"},
        {"zero bLength among endpoints", ConfigBuilder().Interface(0, 0, 2, 0xFF, 0, 0).Endpoint(0x81, 2, 512, 0)
             .Raw({0, 0}).Build(), "bLength 0 never moves"},
    };
    for (auto row : builds) {
        SCOPED_TRACE(row.name);
        auto* cd = Cd(row.bytes);
        USBD_INTERFACE_LIST_ENTRY list[2] = {{reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(row.bytes.data() + 9), nullptr},
                                             {nullptr, nullptr}};
        EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, list), nullptr);
        const auto found = hosted::Verifier::Take();
        ASSERT_EQ(found.size(), 1u);
        EXPECT_NE(found[0].find("USBD_CreateConfigurationRequestEx"), std::string::npos) << found[0];
        EXPECT_NE(found[0].find(row.finding), std::string::npos) << found[0];
    }
}

TEST_F(Usbd, CreateConfigurationRequestExLaysOutEveryInterface) {
    auto bytes = BuildDefaultConfigDescriptor();
    auto* cd = Cd(bytes);
    const uint32_t tag = hosted::Tag("USBD");
    const size_t before = hosted::Pool::LiveCount(tag);
    {
        auto sel = usbtest::BuildSelect(cd, {{0, 0}, {1, 0}, {2, 0}, {3, 1}});
        ASSERT_NE(sel->urb, nullptr);
        EXPECT_EQ(hosted::Pool::LiveCount(tag), before + 1);
        PURB urb = sel->urb;
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
        EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);
        // 40 fixed bytes, then 48 (1 pipe) + 24 (0) + 24 (0) + 48 (1).
        EXPECT_EQ(urb->UrbHeader.Length, 40 + 48 + 24 + 24 + 48);
        const ULONG pipes[] = {1, 0, 0, 1};
        const PUCHAR base = reinterpret_cast<PUCHAR>(urb);
        SIZE_T off = 40;
        for (int i = 0; i < 4; ++i) {
            auto* info = sel->list[i].Interface;
            ASSERT_EQ(reinterpret_cast<PUCHAR>(info), base + off) << i;
            EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(pipes[i]));
            EXPECT_EQ(info->NumberOfPipes, pipes[i]);
            EXPECT_EQ(info->InterfaceNumber, sel->list[i].InterfaceDescriptor->bInterfaceNumber);
            EXPECT_EQ(info->AlternateSetting, sel->list[i].InterfaceDescriptor->bAlternateSetting);
            EXPECT_EQ(info->InterfaceHandle, nullptr);
            for (ULONG p = 0; p < info->NumberOfPipes; ++p)
                EXPECT_EQ(info->Pipes[p].MaximumTransferSize, ULONG(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
            off += info->Length;
        }
    }
    EXPECT_EQ(hosted::Pool::LiveCount(tag), before);

    // No interfaces: still room for one zeroed interface information.
    USBD_INTERFACE_LIST_ENTRY none[1] = {{nullptr, nullptr}};
    PURB empty = USBD_CreateConfigurationRequestEx(cd, none);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->UrbHeader.Length, sizeof(struct _URB_SELECT_CONFIGURATION));
    EXPECT_EQ(empty->UrbSelectConfiguration.Interface.NumberOfPipes, 0u);
    ExFreePool(empty);

    // Allocation failure gives NULL and leaves the list untouched.
    hosted::Pool::FailTag(tag, 1);
    auto failed = usbtest::BuildSelect(cd, {{0, 0}});
    EXPECT_EQ(failed->urb, nullptr);
    EXPECT_EQ(failed->list[0].Interface, nullptr);
    hosted::Pool::ClearFailures();
}
