#include "usb/pool_tags.h"
#include "usb/usb_transport.h"

volatile LONG frame_timeout_ms = 3000;

namespace {

inline LONG ReadCount(LONG* field) {
    return AtomicRead((volatile LONG*)field);
}

// When a submission stops early, the completions still to come are those of the transfers that
// were submitted: the target drops to their number, and the event is set here when they have all
// completed already. Lowering it only before the cancel wait (not at the time of the failure)
// keeps the frame's timed wait as long as planned, so a failing bus is not retried in a tight
// loop, while no wait is ever left for transfers that do not exist.
VOID LowerCompletionTarget(CameraContext* camera, LONG submitted) {
    InterlockedExchange((volatile LONG*)&camera->transfer_count, submitted);
    if (AtomicRead(&camera->transfers_completed) >= submitted) {
        KeSetEvent(&camera->transfer_event, 1, FALSE);
    }
}

// A transfer ended by a pipe abort or a cancel carries no frame data; such a frame is not
// captured, unlike one whose transfers the camera itself completed with an error.
bool AnyTransferCancelled(CameraContext* camera) {
    for (LONG i = 0; i < camera->transfer_count; ++i) {
        TransferSlot& slot = camera->transfer_slots[i];
        if (slot.status == STATUS_CANCELLED ||
            (slot.urb != nullptr && slot.urb->UrbHeader.Status == USBD_STATUS_CANCELED)) {
            return true;
        }
    }
    return false;
}

// The camera takes the frame request and the arm packet as a pair, so the arm goes
// out once the request did, and once only: a transfer that failed may still have reached the
// camera, and a second arm would pair its requests out of step. Only an arm that certainly never
// left, for want of its URB, is tried again. A lost arm is not a reason to end the read: the frame
// then simply does not come, and the read ends by its time-out. True when the arm went out.
bool SendArm(CameraContext* camera, const FramePackets* packets) {
    NTSTATUS status = SendStreamPacket(camera, packets, false);
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
        status = SendStreamPacket(camera, packets, false);
    }
    return NT_SUCCESS(status);
}

// A transfer that failed, or whose URB did, moved nothing of the frame.
bool NoTransferMovedData(CameraContext* camera) {
    for (LONG i = 0; i < camera->transfer_count; ++i) {
        TransferSlot& slot = camera->transfer_slots[i];
        if (NT_SUCCESS(slot.status) && slot.urb != nullptr &&
            !USBD_ERROR(slot.urb->UrbHeader.Status)) {
            return false;
        }
    }
    return true;
}

// Only the frame pipe: the command pipe carries other threads' commands too, which a stop must not
// cut off.
VOID MarkFramePipe(UsbDevice* usb, UCHAR value) {
    if (usb->pipe_active != nullptr && usb->interface_info != nullptr &&
        kFramePipe < usb->interface_info->NumberOfPipes) {
        SetPipeActive(usb, kFramePipe, value);
    }
}

bool ReadAborted(UsbDevice* usb) {
    return usb->pipe_active != nullptr && usb->interface_info != nullptr &&
           kFramePipe < usb->interface_info->NumberOfPipes && IsPipeActive(usb, kFramePipe) == 0;
}

// A read that failed before its time-out waits the rest of it out, so that a camera failing every
// read is not asked again at once; StopCapture sets the event to end the wait.
VOID WaitOutFrameTimeout(CameraContext* camera) {
    KeResetEvent(&camera->transfer_event);
    if (ReadAborted(&camera->usb)) {
        return;
    }
    LARGE_INTEGER timeout = FrameTimeoutWait();
    KeWaitForSingleObject(&camera->transfer_event, Executive, KernelMode, FALSE, &timeout);
}

// Allocates the slot array and the frame MDL and readies the counters and the event, all under
// the transfer lock; nothing is left allocated when it fails.
NTSTATUS PrepareFrameTransfers(CameraContext* camera, PUCHAR buffer, ULONG length, LONG planned) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&camera->transfer_lock);
    camera->transfer_slots =
        (TransferSlot*)ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION),
                                             sizeof(TransferSlot) * planned, kTransferTag);
    if (camera->transfer_slots == nullptr) {
        KeReleaseSpinLock(&camera->transfer_lock, irql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    InterlockedExchange(&camera->transfers_completed, 0);
    InterlockedExchange((volatile LONG*)&camera->transfer_count, planned);
    camera->frame_mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (camera->frame_mdl == nullptr) {
        ExFreePoolWithTag(camera->transfer_slots, kTransferTag);
        camera->transfer_slots = nullptr;
        InterlockedExchange((volatile LONG*)&camera->transfer_count, 0);
        KeReleaseSpinLock(&camera->transfer_lock, irql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(camera->frame_mdl);
    KeResetEvent(&camera->transfer_event);
    KeReleaseSpinLock(&camera->transfer_lock, irql);
    return STATUS_SUCCESS;
}

// Frees what a slot holds of its transfer, the IRP without the partial MDL it points at, and
// clears it.
VOID FreeTransferParts(TransferSlot* slot) {
    if (slot->irp != nullptr) {
        slot->irp->MdlAddress = nullptr;
        IoFreeIrp(slot->irp);
        slot->irp = nullptr;
    }
    if (slot->mdl != nullptr) {
        IoFreeMdl(slot->mdl);
        slot->mdl = nullptr;
    }
    if (slot->urb != nullptr) {
        ExFreePoolWithTag(slot->urb, kTransferTag);
        slot->urb = nullptr;
    }
}

// Fills a slot with one transfer of a piece of the frame: its IRP, its partial MDL and its URB, the
// IRP addressed to the lower device with TransferCompleted watching it. False, with nothing left
// allocated, when pool is short.
bool BuildTransfer(CameraContext* camera, PDEVICE_OBJECT lower, PUSBD_PIPE_INFORMATION entry,
                   PUCHAR piece_address, ULONG piece, TransferSlot* slot) {
    PIRP irp = IoAllocateIrp((CHAR)(lower->StackSize + 1), FALSE);
    slot->irp = irp;
    if (irp == nullptr) {
        return false;
    }
    PMDL mdl = IoAllocateMdl(piece_address, piece, FALSE, FALSE, irp);
    slot->mdl = mdl;
    if (mdl == nullptr) {
        FreeTransferParts(slot);
        return false;
    }
    irp->MdlAddress = mdl;
    IoBuildPartialMdl(camera->frame_mdl, mdl, piece_address, piece);
    PURB urb = BuildBulkUrb(irp, entry, USB_ENDPOINT_DIRECTION_IN(entry->EndpointAddress) != 0);
    slot->urb = urb;
    // The last completion wakes the reader, which may then let the driver unload while the
    // routine returns: the unload-safe registration keeps the image until it has.
    if (urb == nullptr ||
        !NT_SUCCESS(IoSetCompletionRoutineEx(camera->usb.functional_device, irp, TransferCompleted,
                                             slot, TRUE, TRUE, TRUE))) {
        FreeTransferParts(slot);
        return false;
    }
    slot->usb = &camera->usb;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    return true;
}

// How queuing a frame's transfers ended.
enum class Submission { kComplete, kOutOfResources, kRefused };

// Queues the frame's transfers in order, all under the transfer lock, so that a cancellation never
// sees a half-filled slot; *submitted counts those handed to the bus.
Submission SubmitFrameTransfers(CameraContext* camera, PUSBD_PIPE_INFORMATION entry, PUCHAR buffer,
                                ULONG length, LONG planned, LONG* submitted) {
    PDEVICE_OBJECT lower = camera->usb.lower_device;
    Submission submission = Submission::kComplete;
    ULONG offset = 0;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&camera->transfer_lock);
    for (LONG i = 0; i < planned; ++i) {
        const ULONG piece = length - offset < kFramePieceSize ? length - offset : kFramePieceSize;
        TransferSlot& slot = camera->transfer_slots[i];
        if (!BuildTransfer(camera, lower, entry, buffer + offset, piece, &slot)) {
            submission = Submission::kOutOfResources;
            break;
        }
        offset += piece;
        ++*submitted;
        // A failing bus still completes the request, so the transfer counts as submitted.
        if (!NT_SUCCESS(IofCallDriver(lower, slot.irp))) {
            submission = Submission::kRefused;
            break;
        }
        if (offset >= length) {
            break;
        }
    }
    KeReleaseSpinLock(&camera->transfer_lock, irql);
    return submission;
}

// Cancels what was submitted of a frame read and waits until all of it has completed.
VOID StopFrameTransfers(CameraContext* camera, LONG submitted) {
    LowerCompletionTarget(camera, submitted);
    CancelFrameTransfers(camera);
}

// Tells the camera to send the frame whose transfers are queued, waits for them with the frame
// time-out and judges what arrived.
NTSTATUS AwaitFrame(CameraContext* camera, const FramePackets* packets,
                    PUSBD_PIPE_INFORMATION entry, Submission submission, LONG submitted) {
    SendStreamControl(camera, packets, true);
    const bool refused = submission == Submission::kRefused;
    if (refused && !NT_SUCCESS(ResetPipe(&camera->usb, entry))) {
        RecoverPort(&camera->usb);
    }
    LARGE_INTEGER timeout = FrameTimeoutWait();
    NTSTATUS wait =
        KeWaitForSingleObject(&camera->transfer_event, Executive, KernelMode, FALSE, &timeout);
    // A refused submission leaves a piece of the frame unread, even when it was the last one and
    // so counted as completed.
    if (wait == STATUS_TIMEOUT || refused) {
        StopFrameTransfers(camera, submitted);
        return STATUS_TIMEOUT;
    }
    if (AnyTransferCancelled(camera)) {
        return STATUS_CANCELLED;
    }
    // Every piece failed (a camera gone, a stalled pipe): there is no frame to deliver.
    if (NoTransferMovedData(camera)) {
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

}  // namespace

PURB BuildBulkUrb(PIRP irp, PUSBD_PIPE_INFORMATION pipe, bool device_to_host) {
    PURB urb = (PURB)ExAllocatePoolWithTag((POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION),
                                           sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), kTransferTag);
    if (urb == nullptr) {
        return nullptr;
    }
    _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
    bulk.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk.PipeHandle = pipe->PipeHandle;
    bulk.TransferFlags = USBD_SHORT_TRANSFER_OK;
    if (device_to_host) {
        bulk.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    }
    bulk.TransferBufferLength = MmGetMdlByteCount(irp->MdlAddress);
    bulk.TransferBuffer = nullptr;
    bulk.TransferBufferMDL = irp->MdlAddress;
    bulk.UrbLink = nullptr;
    return urb;
}

NTSTATUS NTAPI TransferCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    if (irp == nullptr) {
        return STATUS_SUCCESS;
    }
    TransferSlot* slot = (TransferSlot*)context;
    if (slot == nullptr || slot->usb == nullptr || slot->irp != irp) {
        return irp->IoStatus.Status;
    }
    // Everything that touches the IRP and the slot comes before the frame's counter: once the
    // last completion is counted, the reader may free them.
    NTSTATUS status = irp->IoStatus.Status;
    irp->IoStatus.Information =
        NT_SUCCESS(status) ? slot->urb->UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
    slot->status = status;
    InterlockedIncrement(&slot->completed);
    CameraContext* camera = CameraFromUsb(slot->usb);
    LONG completed = InterlockedIncrement(&camera->transfers_completed);
    if (completed >= ReadCount(&camera->transfer_count)) {
        KeSetEvent(&camera->transfer_event, 1, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CancelFrameTransfers(CameraContext* camera) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&camera->transfer_lock);
    if (camera->transfer_slots == nullptr) {
        KeReleaseSpinLock(&camera->transfer_lock, irql);
        return;
    }
    LONG count = ReadCount(&camera->transfer_count);
    for (LONG i = 0; i < count; ++i) {
        TransferSlot& slot = camera->transfer_slots[i];
        if (slot.irp != nullptr && AtomicRead(&slot.completed) == 0) {
            IoCancelIrp(slot.irp);
        }
    }
    KeReleaseSpinLock(&camera->transfer_lock, irql);
    // Waited for even when nothing needed cancelling: a completion may have counted itself in its
    // slot but not yet in the frame, and the slots are freed next.
    KeWaitForSingleObject(&camera->transfer_event, Executive, KernelMode, FALSE, nullptr);
}

VOID ReleaseFrameTransfers(CameraContext* camera) {
    if (camera->transfer_slots != nullptr) {
        for (LONG i = 0; i < camera->transfer_count; ++i) {
            FreeTransferParts(&camera->transfer_slots[i]);
        }
        // Cleared under the lock: StopCapture tells by it whether transfers are in flight.
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&camera->transfer_lock);
        TransferSlot* slots = camera->transfer_slots;
        camera->transfer_slots = nullptr;
        KeReleaseSpinLock(&camera->transfer_lock, irql);
        ExFreePoolWithTag(slots, kTransferTag);
    }
    if (camera->frame_mdl != nullptr) {
        IoFreeMdl(camera->frame_mdl);
        camera->frame_mdl = nullptr;
    }
}

NTSTATUS ReadFrame(CameraContext* camera, const FramePackets* packets, ULONG pipe, ULONG length,
                   PUCHAR buffer, bool* armed) {
    *armed = false;
    NTSTATUS status;
    PUSBD_PIPE_INFORMATION entry = FindBulkPipe(&camera->usb, pipe, &status);
    if (entry == nullptr) {
        return status;
    }
    // Nothing would ever complete a frame of no transfers.
    if (length == 0 || buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const LONG planned = (LONG)(length / kFramePieceSize + (length % kFramePieceSize != 0 ? 1 : 0));
    status = PrepareFrameTransfers(camera, buffer, length, planned);
    // The request went out before this read began, so its arm follows even when the read cannot.
    *armed = SendArm(camera, packets);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LONG submitted = 0;
    const Submission submission =
        SubmitFrameTransfers(camera, entry, buffer, length, planned, &submitted);
    // A stop that aborted the pipe before all transfers were queued did not reach the later ones:
    // the mark it cleared tells, and the read ends now instead of at its time-out.
    const bool aborted =
        camera->usb.pipe_active != nullptr && IsPipeActive(&camera->usb, pipe) == 0;
    NTSTATUS result;
    if (submission == Submission::kOutOfResources || aborted) {
        // The camera is not told to send a frame that has nowhere to land or no reader.
        StopFrameTransfers(camera, submitted);
        result = submission == Submission::kOutOfResources ? STATUS_INSUFFICIENT_RESOURCES
                                                           : STATUS_CANCELLED;
    } else {
        result = AwaitFrame(camera, packets, entry, submission, submitted);
    }
    ReleaseFrameTransfers(camera);
    return result;
}

NTSTATUS ReadRequestedFrame(CameraContext* camera, const FramePackets* packets, PUCHAR buffer,
                            bool* out_of_step) {
    *out_of_step = false;
    // Before the capture set-up there is no frame to ask for.
    if (camera->raw_frame_size == 0 || buffer == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    UsbDevice* usb = &camera->usb;
    MarkFramePipe(usb, 1);
    packets->BuildFrameRequest(camera->frame_request_buffer);
    // Without its request the camera sends no frame, and an arm alone would start the next pair.
    bool armed = false;
    NTSTATUS status =
        TransferPacket(camera, kCommandPipe, kPacketSize, camera->frame_request_buffer)
            ? ReadFrame(camera, packets, kFramePipe, camera->raw_frame_size, buffer, &armed)
            : STATUS_UNSUCCESSFUL;
    if (status != STATUS_SUCCESS && status != STATUS_TIMEOUT && !ReadAborted(usb)) {
        WaitOutFrameTimeout(camera);
    }
    // A frame that came shows the pair was whole. A stop does not mend the pairs: the next stream
    // on the same configuration would meet them out of step. A device no longer configured gets
    // fresh pairs with its next configuration.
    *out_of_step = status != STATUS_SUCCESS && !armed && usb->interface_info != nullptr;
    MarkFramePipe(usb, 0);
    return status;
}
