// The capture worker: its thread and loop, the start, pause and stop of streaming, and the
// conversion of the latest raw frame.
#include "driver/capture_worker.h"

#include "driver/pool_tags.h"
#include "imaging/frame_processor.h"

namespace {

bool KeepRunning(CaptureWorker* worker) {
    return InterlockedOr8(&worker->keep_running, 0) != 0;
}

// Whether slot a's frame was read before slot b's; numbers may wrap.
bool Older(const CaptureWorker* worker, LONG a, LONG b) {
    return (LONG)(worker->slot_picture[a] - worker->slot_picture[b]) < 0;
}

// The worker's section: a free slot, else the one not being converted, else the older frame,
// marked filling. Overwriting the older frame keeps the frames waiting in the order they came.
LONG ChooseSlot(CaptureWorker* worker) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&worker->slot_lock);
    LONG slot;
    if (worker->slot_state[0] == kSlotFree) {
        slot = 0;
    } else if (worker->slot_state[1] == kSlotFree) {
        slot = 1;
    } else if (worker->slot_state[0] == kSlotConverting) {
        slot = 1;
    } else if (worker->slot_state[1] == kSlotConverting) {
        slot = 0;
    } else {
        slot = Older(worker, 1, 0) ? 1 : 0;
    }
    worker->slot_state[slot] = kSlotFilling;
    KeReleaseSpinLock(&worker->slot_lock, irql);
    return slot;
}

VOID MarkSlot(CaptureWorker* worker, LONG slot, LONG state) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&worker->slot_lock);
    worker->slot_state[slot] = state;
    KeReleaseSpinLock(&worker->slot_lock, irql);
}

// The worker's section after a good read: the frame gets its picture number as it becomes filled,
// the count NotifyFrameReady is about to give it, so a pass can never stamp a number that another
// delivery had.
VOID MarkFilled(CaptureWorker* worker, LONG slot) {
    CameraContext* camera = worker->camera;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&worker->slot_lock);
    worker->slot_picture[slot] = (ULONG)AtomicRead((volatile LONG*)&camera->frame_count) + 1u;
    worker->slot_state[slot] = kSlotFilled;
    KeReleaseSpinLock(&worker->slot_lock, irql);
}

// The process pass's section: the older filled frame, slot A when both are alike.
LONG TakeFilledSlot(CaptureWorker* worker, ULONG* picture_number) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&worker->slot_lock);
    LONG slot = -1;
    bool a = worker->slot_state[0] == kSlotFilled;
    bool b = worker->slot_state[1] == kSlotFilled;
    if (a && b) {
        slot = Older(worker, 1, 0) ? 1 : 0;
    } else if (a) {
        slot = 0;
    } else if (b) {
        slot = 1;
    }
    if (slot >= 0) {
        worker->slot_state[slot] = kSlotConverting;
        *picture_number = worker->slot_picture[slot];
    }
    KeReleaseSpinLock(&worker->slot_lock, irql);
    return slot;
}

VOID NTAPI WorkerLoop(PVOID context) {
    auto* worker = static_cast<CaptureWorker*>(context);
    CameraContext* camera = worker->camera;
    const FrameSource* source = camera->frame_source;
    while (KeepRunning(worker)) {
        LONG slot = ChooseSlot(worker);
        bool ok = false;
        if (worker->run_state == 2 && source->ReadRawFrame(camera, worker->raw_slot[slot], &ok) &&
            ok) {
            InterlockedIncrement(&worker->frames_captured);
        } else {
            ok = false;
        }
        if (!ok) {
            // A failed read has already taken its time-out, so the next one follows at once.
            MarkSlot(worker, slot, kSlotFree);
            continue;
        }
        // A frame read as the worker stops is dropped: left filled, it would be delivered after a
        // resume under the number of the frame that follows it.
        if (!KeepRunning(worker)) {
            MarkSlot(worker, slot, kSlotFree);
            break;
        }
        MarkFilled(worker, slot);
        source->NotifyFrameReady(camera);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// After the thread has ended: a process pass that is still converting is waited for.
VOID WaitForProcessPass(CaptureWorker* worker) {
    KeResetEvent(&worker->process_done_event);
    if (AtomicRead(&worker->converting) != 0) {
        KeWaitForSingleObject(&worker->process_done_event, Executive, KernelMode, FALSE, nullptr);
    }
}

NTSTATUS StartThread(CaptureWorker* worker) {
    MarkSlot(worker, 0, kSlotFree);
    MarkSlot(worker, 1, kSlotFree);
    InterlockedExchange8(&worker->keep_running, 1);
    HANDLE handle = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, WorkerLoop, worker);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange8(&worker->keep_running, 0);
        return status;
    }
    // A kernel handle just returned to this caller references in kernel mode.
    PVOID thread = nullptr;
    status =
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    if (!NT_SUCCESS(status)) {
        // Without the object the thread could not be joined at the stop, and the buffers it reads
        // into would be freed under it: it is ended now through its handle, and the start fails.
        InterlockedExchange8(&worker->keep_running, 0);
        worker->camera->frame_source->StopCapture(worker->camera);
        ZwWaitForSingleObject(handle, FALSE, nullptr);
        ZwClose(handle);
        WaitForProcessPass(worker);
        return status;
    }
    worker->thread = thread;
    ZwClose(handle);
    return STATUS_SUCCESS;
}

// The loop is told to stop, the thread is joined once its read has ended, and a process pass that
// is still converting is waited for: after this nothing uses the slots, the image or the processor.
VOID StopThread(CaptureWorker* worker) {
    CameraContext* camera = worker->camera;
    InterlockedExchange8(&worker->keep_running, 0);
    camera->frame_source->StopCapture(camera);
    if (worker->thread != nullptr) {
        KeWaitForSingleObject(worker->thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(worker->thread);
        worker->thread = nullptr;
    }
    WaitForProcessPass(worker);
}

PUCHAR AllocateFrameBuffer(SIZE_T size) {
    return static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kFrameBufferTag));
}

VOID FreeFrameBuffer(PVOID* buffer) {
    if (*buffer != nullptr) {
        ExFreePoolWithTag(*buffer, kFrameBufferTag);
        *buffer = nullptr;
    }
}

VOID FreeBuffers(CaptureWorker* worker) {
    FreeFrameBuffer(reinterpret_cast<PVOID*>(&worker->rgb_image));
    FreeFrameBuffer(reinterpret_cast<PVOID*>(&worker->raw_slot[0]));
    FreeFrameBuffer(reinterpret_cast<PVOID*>(&worker->raw_slot[1]));
}

// Taken once per start, from the same geometry the buffers are sized for and the format of the pin
// that holds the camera: the copies of this stream read nothing else.
VOID FixDeliveryGeometry(CaptureWorker* worker, const CapturePinContext* pin_context, LONG width,
                         LONG height) {
    DeliveryGeometry& delivery = worker->delivery;
    delivery.width = width;
    delivery.height = height;
    const ULONG row_bytes = (ULONG)width * 4;
    const ULONG stride = (ULONG)pin_context->output_stride;
    delivery.row_spacing = stride > row_bytes ? stride : row_bytes;
    delivery.sample_size = pin_context->video_info.bmiHeader.biSizeImage;
    delivery.duration = pin_context->video_info.AvgTimePerFrame;
    delivery.top_down = pin_context->video_info.bmiHeader.biHeight < 0;
}

VOID ReleaseProcessorBuffers(CaptureWorker* worker) {
    if (worker->processor != nullptr) {
        worker->processor->conversion.output_buffer = nullptr;
        FreeWorkBuffer(worker->processor);
    }
}

}  // namespace

CaptureWorker* CreateCaptureWorker(CameraContext* camera) {
    auto* worker = static_cast<CaptureWorker*>(ExAllocatePoolWithTag(
        (POOL_TYPE)(NonPagedPoolNx | POOL_ZERO_ALLOCATION), sizeof(CaptureWorker), kWorkerTag));
    if (worker == nullptr)
        return nullptr;
    worker->camera = camera;
    KeInitializeEvent(&worker->process_done_event, NotificationEvent, FALSE);
    KeInitializeSpinLock(&worker->slot_lock);
    return worker;
}

VOID NTAPI FreeCaptureWorker(PVOID worker) {
    if (worker != nullptr)
        ExFreePoolWithTag(worker, kWorkerTag);
}

NTSTATUS StartStreaming(CameraContext* camera) {
    CaptureWorker* worker = camera->worker;
    // The device could not make its worker at start: nothing can stream.
    if (worker == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    const CapturePinContext* pin_context = camera->active_pin;
    if (pin_context == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    const FrameSource* source = camera->frame_source;
    // The geometry is read once: the buffers, the conversion and the copies all follow this.
    const LONG image_width = camera->image_width;
    const LONG image_height = camera->image_height;
    InterlockedExchange((volatile LONG*)&camera->frame_count, 0);
    camera->bayer_phase = camera->bayer_phase_default;
    FrameProcessor* processor = CurrentProcessor(camera);
    if (processor != nullptr)
        InterlockedExchange(&processor->conversion.bayer_phase, camera->bayer_phase);

    InterlockedExchange(&worker->converting, 0);
    worker->processor = processor;
    InterlockedExchange(&worker->frames_captured, 0);
    source->StartCapture(camera, worker->processor, image_width, image_height);

    NTSTATUS status = STATUS_SUCCESS;
    LONG size = 0;
    source->GetRawFrameSize(camera, &size);
    if (size != 0) {
        worker->raw_slot[0] = AllocateFrameBuffer((ULONG)size);
        worker->raw_slot[1] = AllocateFrameBuffer((ULONG)size);
        if (worker->raw_slot[0] == nullptr || worker->raw_slot[1] == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    worker->rgb_image = reinterpret_cast<ULONG*>(
        AllocateFrameBuffer((SIZE_T)image_width * (SIZE_T)image_height * 4));
    if (worker->rgb_image == nullptr)
        status = STATUS_INSUFFICIENT_RESOURCES;
    // What was allocated goes again, so that a later start begins from nothing.
    if (!NT_SUCCESS(status)) {
        FreeBuffers(worker);
        return status;
    }

    SetConversionGeometry(processor, (ULONG)image_width, (ULONG)image_height);
    AllocateWorkBuffer(processor);
    // Without its work buffer the conversion writes nothing: frames would go out unconverted.
    if (processor->conversion.work_buffer == nullptr) {
        FreeBuffers(worker);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    processor->conversion.output_buffer = worker->rgb_image;
    FixDeliveryGeometry(worker, pin_context, camera->output_width, camera->output_height);

    worker->run_state = 2;
    status = StartThread(worker);
    if (!NT_SUCCESS(status)) {
        worker->run_state = 0;
        ReleaseProcessorBuffers(worker);
        FreeBuffers(worker);
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PauseStreaming(CameraContext* camera, bool pause) {
    CaptureWorker* worker = camera->worker;
    if (pause && worker->run_state == 2) {
        StopThread(worker);
        worker->run_state = 1;
    } else if (!pause && worker->run_state == 1) {
        worker->run_state = 2;
        NTSTATUS status = StartThread(worker);
        if (!NT_SUCCESS(status)) {
            worker->run_state = 1;
            return status;
        }
    }
    return STATUS_SUCCESS;
}

VOID StopStreaming(CameraContext* camera) {
    CaptureWorker* worker = camera->worker;
    StopThread(worker);
    worker->run_state = 0;
    ReleaseProcessorBuffers(worker);
    FreeBuffers(worker);
}

bool ConvertLatestFrame(CaptureWorker* worker, ULONG* picture_number,
                        const ImageDestination* destination) {
    // Marked before keep_running is tested: a stop that clears keep_running and then finds
    // converting clear knows that this pass will not touch the buffers it frees.
    InterlockedExchange(&worker->converting, 1);
    if (!KeepRunning(worker))
        return false;
    LONG slot = TakeFilledSlot(worker, picture_number);
    if (slot < 0)
        return false;
    CameraContext* camera = worker->camera;
    LONG offset = 0;
    LONG pitch = 0;
    camera->frame_source->GetRawDataOffset(camera, &offset);
    camera->frame_source->GetRawRowPitch(camera, &pitch);
    if (destination != nullptr) {
        ConvertFrame(worker->processor, worker->raw_slot[slot], (ULONG)offset, (ULONG)pitch,
                     destination);
    } else {
        ConvertFrame(worker->processor, worker->raw_slot[slot], (ULONG)offset, (ULONG)pitch);
    }
    MarkSlot(worker, slot, kSlotFree);
    return true;
}
