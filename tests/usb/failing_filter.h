// A filter device between the driver and the bus port that fails chosen requests at submission,
// as a bus driver does that refuses a request outright. The camera's USB device sends through it
// while it exists.
#pragma once

#include <atomic>
#include <functional>
#include <utility>

#include "platform/ddk.h"
#include "usb/usb_device.h"

namespace camtest {

class FailingFilter {
  public:
    explicit FailingFilter(UsbDevice* usb) : usb_(usb), port_(usb->lower_device) {
        driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &FailingFilter::Dispatch;
        device_.DriverObject = &driver_;
        device_.DeviceExtension = this;
        device_.StackSize = (CHAR)(port_->StackSize + 1);
        usb->lower_device = &device_;
    }
    ~FailingFilter() { usb_->lower_device = port_; }
    FailingFilter(const FailingFilter&) = delete;
    FailingFilter& operator=(const FailingFilter&) = delete;

    // Bulk transfers on this pipe handle: the first `pass` go through, the next `fail` are refused.
    void FailBulk(USBD_PIPE_HANDLE pipe, int pass, int fail) {
        bulk_pipe_ = pipe;
        bulk_pass_ = pass;
        bulk_fail_ = fail;
    }
    // The next `count` bulk transfers on this pipe handle complete with a successful request but
    // a stalled URB, its length left as the driver set it: only the URB status tells the failure.
    void StallBulk(USBD_PIPE_HANDLE pipe, int count) {
        stall_pipe_ = pipe;
        stall_count_ = count;
    }
    void FailPipeResets(bool fail) { fail_resets_ = fail; }
    void FailPipeAborts(bool fail) { fail_aborts_ = fail; }
    // Runs action in the sending thread just before the nth command packet with this code (1 =
    // the next one) goes down; the packet follows once it returns.
    void BeforeCommand(UCHAR code, int nth, std::function<void()> action) {
        hook_code_ = code;
        hook_countdown_ = nth;
        hook_ = std::move(action);
    }
    int RefusedBulk() const { return refused_bulk_; }
    int RefusedResets() const { return refused_resets_; }
    // Pipe aborts that came down, refused or passed on.
    int AbortsSeen() const { return aborts_seen_; }
    // Command packets with this code that came down, refused or passed on: what went on the wire.
    int CommandsSeen(UCHAR code) const { return commands_seen_[code]; }

  private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        auto* self = static_cast<FailingFilter*>(device->DeviceExtension);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
            self->CountCommand((PURB)stack->Parameters.Others.Argument1);
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            self->Stall((PURB)stack->Parameters.Others.Argument1)) {
            ((PURB)stack->Parameters.Others.Argument1)->UrbHeader.Status = USBD_STATUS_STALL_PID;
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 0;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            self->Refuse((PURB)stack->Parameters.Others.Argument1)) {
            ((PURB)stack->Parameters.Others.Argument1)->UrbHeader.Status =
                USBD_STATUS_REQUEST_FAILED;
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            irp->IoStatus.Information = 0;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_UNSUCCESSFUL;
        }
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            self->RunHook((PURB)stack->Parameters.Others.Argument1);
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(self->port_, irp);
    }

    void CountCommand(PURB urb) {
        if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            return;
        const _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
        if ((bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0 &&
            bulk.TransferBuffer != nullptr && bulk.TransferBufferLength != 0) {
            ++commands_seen_[*(const UCHAR*)bulk.TransferBuffer];
        }
    }

    void RunHook(PURB urb) {
        if (!hook_ || urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            return;
        }
        const _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
        if ((bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0 ||
            bulk.TransferBuffer == nullptr || bulk.TransferBufferLength == 0 ||
            *(const UCHAR*)bulk.TransferBuffer != hook_code_ || --hook_countdown_ != 0) {
            return;
        }
        std::function<void()> action = std::move(hook_);
        hook_ = nullptr;
        action();
    }

    bool Stall(PURB urb) {
        if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
            stall_pipe_ == nullptr || urb->UrbBulkOrInterruptTransfer.PipeHandle != stall_pipe_ ||
            stall_count_ <= 0) {
            return false;
        }
        --stall_count_;
        return true;
    }

    bool Refuse(PURB urb) {
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
            ++aborts_seen_;
            return fail_aborts_;
        }
        if (urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL &&
            fail_resets_) {
            ++refused_resets_;
            return true;
        }
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
            urb->UrbBulkOrInterruptTransfer.PipeHandle == bulk_pipe_ && bulk_pipe_ != nullptr) {
            if (bulk_pass_ > 0) {
                --bulk_pass_;
                return false;
            }
            if (bulk_fail_ > 0) {
                --bulk_fail_;
                ++refused_bulk_;
                return true;
            }
        }
        return false;
    }

    UsbDevice* usb_;
    PDEVICE_OBJECT port_;
    DRIVER_OBJECT driver_{};
    DEVICE_OBJECT device_{};
    // Set before the traffic starts; read in the submitting thread only.
    USBD_PIPE_HANDLE bulk_pipe_ = nullptr;
    std::atomic<int> bulk_pass_{0};
    std::atomic<int> bulk_fail_{0};
    USBD_PIPE_HANDLE stall_pipe_ = nullptr;
    std::atomic<int> stall_count_{0};
    std::atomic<bool> fail_resets_{false};
    std::atomic<bool> fail_aborts_{false};
    std::atomic<int> aborts_seen_{0};
    std::atomic<int> refused_bulk_{0};
    std::atomic<int> refused_resets_{0};
    std::atomic<int> commands_seen_[256] = {};
    // Used by the sending thread only, once set.
    UCHAR hook_code_ = 0;
    int hook_countdown_ = 0;
    std::function<void()> hook_;
};

}  // namespace camtest
