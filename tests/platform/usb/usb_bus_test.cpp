// The USB bus stand-in as the driver meets it: URB dispatch, pending transfers, cancellation.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "fake_device.h"
#include "platform/verifier.h"
#include "tests/support/urb_requests.h"

namespace {

using camtest::BuildBulk;
using camtest::BuildPipeRequest;
using camtest::Request;
using camtest::Send;
using camtest::SendAndWait;
using usbtest::ConfiguredPort;
using usbtest::FakeDevice;

constexpr ULONG kSubmit = IOCTL_INTERNAL_USB_SUBMIT_URB;

std::vector<uint8_t> Bytes(size_t count, uint8_t first) {
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

TEST(UsbBusTest, DescriptorReadIsTruncatedToTheBuffer) {
    FakeDevice device;
    PDEVICE_OBJECT port = platform::UsbBusPlugIn(&device);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->StackSize, 1);

    URB urb{};
    uint8_t header[9] = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header, nullptr,
                                 sizeof(header), nullptr);
    EXPECT_EQ(SendAndWait(port, kSubmit, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);
    EXPECT_EQ(0, memcmp(header, device.configuration.data(), 9));

    std::vector<uint8_t> whole(200, 0xEE);
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, whole.data(), nullptr,
                                 (ULONG)whole.size(), nullptr);
    EXPECT_EQ(SendAndWait(port, kSubmit, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, device.configuration.size());
    EXPECT_EQ(whole[device.configuration.size()], 0xEE);

    // A descriptor the device refuses stalls the request.
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, 3, 0x409, whole.data(), nullptr, 10,
                                 nullptr);
    EXPECT_EQ(SendAndWait(port, kSubmit, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
    platform::UsbBusUnplug(port);
    EXPECT_EQ(device.detaches, 1);
}

TEST(UsbBusTest, SelectConfigurationFillsInterfacesAndPipesFromTheDescriptor) {
    ConfiguredPort bus;
    EXPECT_NE(bus.select->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    ASSERT_EQ(bus.device.configurations_set, std::vector<uint8_t>{1});

    PUSBD_INTERFACE_INFORMATION i0 = bus.interface0;
    EXPECT_EQ(i0->Class, 0xFF);
    EXPECT_EQ(i0->SubClass, 0x01);
    EXPECT_EQ(i0->Protocol, 0x02);
    EXPECT_NE(i0->InterfaceHandle, nullptr);
    ASSERT_EQ(i0->NumberOfPipes, 3u);
    EXPECT_EQ(i0->Pipes[0].EndpointAddress, 0x01);
    EXPECT_EQ(i0->Pipes[0].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(i0->Pipes[0].MaximumPacketSize, 512);
    EXPECT_EQ(i0->Pipes[1].EndpointAddress, 0x81);
    EXPECT_EQ(i0->Pipes[2].EndpointAddress, 0x83);
    EXPECT_EQ(i0->Pipes[2].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(i0->Pipes[2].MaximumPacketSize, 16);
    EXPECT_EQ(i0->Pipes[2].Interval, 4);
    EXPECT_EQ(i0->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);

    PUSBD_INTERFACE_INFORMATION i1 = bus.interface1;
    EXPECT_EQ(i1->InterfaceNumber, 1);
    EXPECT_EQ(i1->Class, 0x0A);
    ASSERT_EQ(i1->NumberOfPipes, 1u);
    EXPECT_EQ(i1->Pipes[0].EndpointAddress, 0x82);
    EXPECT_NE(i1->InterfaceHandle, i0->InterfaceHandle);

    std::vector<USBD_PIPE_HANDLE> handles = {i0->Pipes[0].PipeHandle, i0->Pipes[1].PipeHandle,
                                             i0->Pipes[2].PipeHandle, i1->Pipes[0].PipeHandle};
    for (size_t a = 0; a < handles.size(); a++) {
        EXPECT_NE(handles[a], nullptr);
        for (size_t b = a + 1; b < handles.size(); b++)
            EXPECT_NE(handles[a], handles[b]);
    }
}

TEST(UsbBusTest, DeconfigureInvalidatesPipeHandles) {
    ConfiguredPort bus;
    URB deconfigure{};
    deconfigure.UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
    deconfigure.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &deconfigure), STATUS_SUCCESS);
    EXPECT_EQ(bus.device.configurations_set, (std::vector<uint8_t>{1, 0}));

    uint8_t data[4] = {1, 2, 3, 4};
    URB urb;
    BuildBulk(&urb, bus.out_pipe(), false, data, sizeof(data));
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_TRUE(bus.device.out_data.empty());
}

TEST(UsbBusTest, InvalidRequestsFailWithUrbStatus) {
    ConfiguredPort bus;
    uint8_t data[8] = {};
    URB urb;
    BuildBulk(&urb, (USBD_PIPE_HANDLE)0x1234, true, data, sizeof(data));
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    BuildPipeRequest(&urb, 0x0077, bus.in_pipe());
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

    // A bulk URB whose header is too short for its function.
    BuildBulk(&urb, bus.in_pipe(), true, data, sizeof(data));
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bus.device.in_queued.size(), 0u);
}

TEST(UsbBusTest, OutDataReachesTheDeviceAndReportsWhatItTook) {
    ConfiguredPort bus;
    std::vector<uint8_t> packet = Bytes(64, 1);
    URB urb;
    BuildBulk(&urb, bus.out_pipe(), false, packet.data(), 64);
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
    ASSERT_EQ(bus.device.out_data.size(), 1u);
    EXPECT_EQ(bus.device.out_data[0], packet);

    bus.device.out_result = {USBD_STATUS_SUCCESS, 10, false};
    BuildBulk(&urb, bus.out_pipe(), false, packet.data(), 64);
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);

    bus.device.out_result = {USBD_STATUS_STALL_PID, 0, false};
    BuildBulk(&urb, bus.out_pipe(), false, packet.data(), 64);
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
}

TEST(UsbBusTest, PendingInTransfersFillInOrderAndShortPacketsEndThem) {
    ConfiguredPort bus;
    // Three transfers queued before any data: 1024, 1024 and 100 bytes.
    std::vector<uint8_t> a(1024), b(1024), c(100);
    URB ua, ub, uc;
    Request ra, rb, rc;
    BuildBulk(&ua, bus.in_pipe(), true, a.data(), 1024);
    BuildBulk(&ub, bus.in_pipe(), true, b.data(), 1024);
    BuildBulk(&uc, bus.in_pipe(), true, c.data(), 100);
    Send(bus.port, kSubmit, &ua, &ra);
    Send(bus.port, kSubmit, &ub, &rb);
    Send(bus.port, kSubmit, &uc, &rc);
    EXPECT_EQ(ra.sent, STATUS_PENDING);
    EXPECT_FALSE(ra.Wait(30));
    EXPECT_EQ(bus.device.link->PendingInTransfers(0x81), 3u);

    // 1536 bytes (three full packets) fill the first transfer and half the second.
    std::vector<uint8_t> data = Bytes(1536, 0);
    bus.device.link->SendIn(0x81, data.data(), 1536);
    ASSERT_TRUE(ra.Wait(2000));
    EXPECT_EQ(ra.status.Status, STATUS_SUCCESS);
    EXPECT_EQ(ua.UrbBulkOrInterruptTransfer.TransferBufferLength, 1024u);
    EXPECT_EQ(0, memcmp(a.data(), data.data(), 1024));
    EXPECT_FALSE(rb.Wait(30));  // a full-packet chunk does not end a transfer

    // A short chunk ends the second transfer with what it got.
    bus.device.link->SendIn(0x81, data.data(), 10);
    ASSERT_TRUE(rb.Wait(2000));
    EXPECT_EQ(rb.status.Status, STATUS_SUCCESS);
    EXPECT_EQ(ub.UrbBulkOrInterruptTransfer.TransferBufferLength, 522u);
    EXPECT_EQ(0, memcmp(b.data(), data.data() + 1024, 512));
    EXPECT_EQ(0, memcmp(b.data() + 512, data.data(), 10));

    // A zero-length chunk ends the third transfer empty.
    bus.device.link->SendIn(0x81, nullptr, 0);
    ASSERT_TRUE(rc.Wait(2000));
    EXPECT_EQ(uc.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(bus.device.link->PendingInTransfers(0x81), 0u);
    EXPECT_EQ(bus.device.in_queued, (std::vector<uint32_t>{1024, 1024, 100}));
}

TEST(UsbBusTest, DataSentAheadWaitsForTheNextTransfer) {
    ConfiguredPort bus;
    std::vector<uint8_t> reply = Bytes(64, 7);
    bus.device.link->SendIn(0x81, reply.data(), 64);
    std::vector<uint8_t> buffer(64);
    URB urb;
    BuildBulk(&urb, bus.in_pipe(), true, buffer.data(), 64);
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_SUCCESS);
    EXPECT_EQ(buffer, reply);

    // FlushIn drops what no transfer took.
    bus.device.link->SendIn(0x81, reply.data(), 64);
    bus.device.link->FlushIn(0x81);
    Request request;
    BuildBulk(&urb, bus.in_pipe(), true, buffer.data(), 64);
    Send(bus.port, kSubmit, &urb, &request);
    EXPECT_FALSE(request.Wait(50));
    bus.device.link->SendIn(0x81, reply.data(), 3);
    ASSERT_TRUE(request.Wait(2000));
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
}

TEST(UsbBusTest, InTransferThroughAPartialMdlLandsInItsPiece) {
    ConfiguredPort bus;
    std::vector<uint8_t> frame(3 * 4096, 0);
    PMDL whole = IoAllocateMdl(frame.data(), (ULONG)frame.size(), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(whole);
    PMDL piece = IoAllocateMdl(frame.data(), (ULONG)frame.size(), FALSE, FALSE, nullptr);
    IoBuildPartialMdl(whole, piece, frame.data() + 4096, 4096);
    URB urb;
    BuildBulk(&urb, bus.in_pipe(), true, nullptr, 4096);
    urb.UrbBulkOrInterruptTransfer.TransferBufferMDL = piece;
    std::vector<uint8_t> data = Bytes(4096, 9);
    bus.device.link->SendIn(0x81, data.data(), 4096);
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_SUCCESS);
    EXPECT_EQ(0, memcmp(frame.data() + 4096, data.data(), 4096));
    EXPECT_EQ(frame[4095], 0);
    EXPECT_EQ(frame[8192], 0);

    // An MDL that describes less than the transfer length is refused.
    BuildBulk(&urb, bus.in_pipe(), true, nullptr, 8192);
    urb.UrbBulkOrInterruptTransfer.TransferBufferMDL = piece;
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    IoFreeMdl(piece);
    IoFreeMdl(whole);
}

TEST(UsbBusTest, FailInEndsTheNextTransferWithItsBytesSoFar) {
    ConfiguredPort bus;
    std::vector<uint8_t> buffer(2048);
    URB urb;
    Request request;
    BuildBulk(&urb, bus.in_pipe(), true, buffer.data(), 2048);
    Send(bus.port, kSubmit, &urb, &request);
    std::vector<uint8_t> data = Bytes(512, 0);
    bus.device.link->SendIn(0x81, data.data(), 512);
    bus.device.link->FailIn(0x81, USBD_STATUS_BABBLE_DETECTED);
    ASSERT_TRUE(request.Wait(2000));
    EXPECT_EQ(request.status.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 512u);

    // Armed before the transfer exists, it fails the one submitted next.
    bus.device.link->FailIn(0x81, USBD_STATUS_STALL_PID);
    BuildBulk(&urb, bus.in_pipe(), true, buffer.data(), 64);
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
}

TEST(UsbBusTest, AbortPipeCancelsItsPendingTransfersOnly) {
    ConfiguredPort bus;
    std::vector<uint8_t> buffer(4 * 64);
    URB transfers[3];
    Request requests[3];
    BuildBulk(&transfers[0], bus.in_pipe(), true, buffer.data(), 64);
    BuildBulk(&transfers[1], bus.in_pipe(), true, buffer.data() + 64, 64);
    BuildBulk(&transfers[2], bus.interface1->Pipes[0].PipeHandle, true, buffer.data() + 128, 64);
    for (int i = 0; i < 3; i++)
        Send(bus.port, kSubmit, &transfers[i], &requests[i]);

    URB abort;
    BuildPipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, bus.in_pipe());
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &abort), STATUS_SUCCESS);
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(requests[i].Wait(2000));
        EXPECT_EQ(requests[i].status.Status, STATUS_CANCELLED);
        EXPECT_EQ(transfers[i].UrbHeader.Status, USBD_STATUS_CANCELED);
    }
    EXPECT_FALSE(requests[2].Wait(30));
    EXPECT_EQ(bus.device.link->PendingInTransfers(0x82), 1u);
    // Unplugging ends the last one.
    platform::UsbBusUnplug(bus.port);
    ASSERT_TRUE(requests[2].Wait(2000));
    EXPECT_EQ(requests[2].status.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(transfers[2].UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    bus.port = platform::UsbBusPlugIn(&bus.device);  // for the fixture's own unplug
}

TEST(UsbBusTest, ResetPipePortStatusAndPortReset) {
    ConfiguredPort bus;
    URB urb;
    BuildPipeRequest(&urb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, bus.in_pipe());
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_SUCCESS);
    BuildPipeRequest(&urb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                     bus.interface0->Pipes[2].PipeHandle);
    EXPECT_EQ(SendAndWait(bus.port, kSubmit, &urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(bus.device.pipes_reset, (std::vector<uint8_t>{0x81, 0x83}));

    bus.device.port_status = USBD_PORT_CONNECTED;
    ULONG status = 0xFFFF;
    EXPECT_EQ(SendAndWait(bus.port, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, (ULONG)USBD_PORT_CONNECTED);
    EXPECT_EQ(SendAndWait(bus.port, IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(bus.device.port_resets, 1);
}

// The frame read's pattern: a driver-owned IRP submitted at DISPATCH_LEVEL with a completion
// routine that keeps the IRP, then cancelled with IoCancelIrp.
struct Slot {
    PIRP irp = nullptr;
    KEVENT done;
    std::atomic<int> calls{0};
    std::atomic<KIRQL> irql{0};
    std::thread::id thread;
};

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* slot = static_cast<Slot*>(context);
    slot->irql = KeGetCurrentIrql();
    slot->thread = std::this_thread::get_id();
    slot->calls++;
    KeSetEvent(&slot->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void SubmitOwned(PDEVICE_OBJECT port, PURB urb, Slot* slot) {
    KeInitializeEvent(&slot->done, NotificationEvent, FALSE);
    slot->irp = IoAllocateIrp((CHAR)(port->StackSize + 1), FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(slot->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(slot->irp, KeepIrp, slot, TRUE, TRUE, TRUE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(IoCallDriver(port, slot->irp), STATUS_PENDING);
    KeReleaseSpinLock(&lock, old);
}

bool WaitSlot(Slot* slot, int ms) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000LL * ms;
    return KeWaitForSingleObject(&slot->done, Executive, KernelMode, FALSE, &timeout) ==
           STATUS_SUCCESS;
}

TEST(UsbBusTest, OwnedIrpsCompleteOnTheBusThreadAtDispatchLevelAndCanBeCancelled) {
    ConfiguredPort bus;
    std::vector<uint8_t> buffer(512 * 3);
    URB urbs[3];
    Slot slots[3];
    for (int i = 0; i < 3; i++) {
        BuildBulk(&urbs[i], bus.in_pipe(), true, buffer.data() + 512 * i, 512);
        SubmitOwned(bus.port, &urbs[i], &slots[i]);
    }
    std::vector<uint8_t> data = Bytes(512, 3);
    bus.device.link->SendIn(0x81, data.data(), 512);
    ASSERT_TRUE(WaitSlot(&slots[0], 2000));
    EXPECT_EQ(slots[0].irql, DISPATCH_LEVEL);
    EXPECT_NE(slots[0].thread, std::this_thread::get_id());
    EXPECT_EQ(slots[0].irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(bus.device.caller_irql, PASSIVE_LEVEL);  // the model is called at PASSIVE_LEVEL

    EXPECT_TRUE(IoCancelIrp(slots[1].irp));
    ASSERT_TRUE(WaitSlot(&slots[1], 2000));
    EXPECT_EQ(slots[1].irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(urbs[1].UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_FALSE(IoCancelIrp(slots[0].irp));  // already completed: nothing to cancel
    EXPECT_EQ(slots[0].calls, 1);

    // The third still gets the next data: cancelling one transfer leaves the queue in order.
    bus.device.link->SendIn(0x81, data.data(), 512);
    ASSERT_TRUE(WaitSlot(&slots[2], 2000));
    EXPECT_EQ(0, memcmp(buffer.data() + 1024, data.data(), 512));
    for (Slot& slot : slots) {
        EXPECT_EQ(slot.calls, 1);
        IoFreeIrp(slot.irp);
    }
}

TEST(UsbBusTest, CancelRacingCompletionEndsEveryTransferExactlyOnce) {
    ConfiguredPort bus;
    constexpr int kCount = 64;
    std::vector<uint8_t> buffer(64 * kCount, 0);
    std::vector<URB> urbs(kCount);
    std::vector<Slot> slots(kCount);
    for (int i = 0; i < kCount; i++) {
        BuildBulk(&urbs[i], bus.in_pipe(), true, buffer.data() + 64 * i, 64);
        SubmitOwned(bus.port, &urbs[i], &slots[i]);
    }
    // Data for half of them races cancels of all of them, last first.
    std::vector<uint8_t> data(64, 0xA5);
    std::thread sender([&] {
        for (int i = 0; i < kCount / 2; i++)
            bus.device.link->SendIn(0x81, data.data(), 64);
    });
    for (int i = kCount - 1; i >= 0; i--)
        IoCancelIrp(slots[i].irp);
    sender.join();
    int cancelled = 0;
    for (int i = 0; i < kCount; i++) {
        ASSERT_TRUE(WaitSlot(&slots[i], 2000));
        EXPECT_EQ(slots[i].calls, 1);
        NTSTATUS status = slots[i].irp->IoStatus.Status;
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(urbs[i].UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
            EXPECT_EQ(0, memcmp(buffer.data() + 64 * i, data.data(), 64)) << i;
        } else {
            EXPECT_EQ(status, STATUS_CANCELLED) << std::hex << status;
            cancelled++;
        }
    }
    EXPECT_GE(cancelled, kCount / 2);
    for (Slot& slot : slots)
        IoFreeIrp(slot.irp);
}

TEST(UsbBusTest, UnplugEndsTransfersTheDeviceNeverAnswers) {
    FakeDevice device;
    PDEVICE_OBJECT port = platform::UsbBusPlugIn(&device);
    auto* configuration =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device.configuration.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    PURB select = USBD_CreateConfigurationRequestEx(configuration, list);
    ASSERT_EQ(SendAndWait(port, kSubmit, select), STATUS_SUCCESS);

    device.out_result.never_completes = true;
    uint8_t packet[64] = {};
    URB urb;
    Request request;
    BuildBulk(&urb, list[0].Interface->Pipes[0].PipeHandle, false, packet, 64);
    Send(port, kSubmit, &urb, &request);
    EXPECT_FALSE(request.Wait(30));
    platform::UsbBusUnplug(port);
    ASSERT_TRUE(request.Wait(2000));
    EXPECT_EQ(request.status.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(device.detaches, 1);
    ExFreePool(select);
}

}  // namespace
