// The master clock a client gives a pin: stream time in 100 ns units that advances only while the
// pin runs, offered to the driver as a reference-counted IKsReferenceClock.
#include "ks_objects.h"
#include "platform/verifier.h"

namespace platform::ks::internal {

class PinClock final : public IKsReferenceClock {
  public:
    NTSTATUS STDMETHODCALLTYPE QueryInterface(REFGUID iid, PVOID* object) override {
        // IUnknown is the only other interface the clock offers.
        static constexpr GUID kIUnknown = {
            0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
        if (object == nullptr)
            return STATUS_INVALID_PARAMETER;
        if (!IsEqualGUID(iid, kIUnknown)) {
            *object = nullptr;
            return STATUS_NOT_SUPPORTED;
        }
        AddRef();
        *object = static_cast<IKsReferenceClock*>(this);
        return STATUS_SUCCESS;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return references_.fetch_add(1) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG before = references_.fetch_sub(1);
        if (before <= 1) {
            // The stand-in holds the last reference until the pin goes: a release past it is
            // the driver's error, and the object stays.
            references_.fetch_add(1);
            verifier::Violation("IKsReferenceClock::Release without a reference to release");
            return 1;
        }
        return before - 1;
    }
    LONGLONG STDMETHODCALLTYPE GetTime() override { return StreamTime(); }
    LONGLONG STDMETHODCALLTYPE GetPhysicalTime() override { return StreamTime(); }
    LONGLONG STDMETHODCALLTYPE GetCorrelatedTime(LONGLONG* system_time) override {
        LONGLONG time = StreamTime();
        if (system_time != nullptr) {
            LARGE_INTEGER now;
            KeQuerySystemTime(&now);
            *system_time = now.QuadPart;
        }
        return time;
    }
    LONGLONG STDMETHODCALLTYPE GetCorrelatedPhysicalTime(LONGLONG* system_time) override {
        return GetCorrelatedTime(system_time);
    }

    void SetRunning(bool running) {
        std::lock_guard<std::mutex> guard(mutex_);
        ULONGLONG now = KeQueryInterruptTime();
        if (running && !running_)
            started_ = now;
        if (!running && running_)
            accumulated_ += (LONGLONG)(now - started_);
        running_ = running;
    }
    LONGLONG StreamTime() {
        std::lock_guard<std::mutex> guard(mutex_);
        return accumulated_ + (running_ ? (LONGLONG)(KeQueryInterruptTime() - started_) : 0);
    }
    ULONG ExtraReferences() const { return references_.load() - 1; }

  private:
    std::atomic<ULONG> references_{1};
    std::mutex mutex_;
    bool running_ = false;
    ULONGLONG started_ = 0;
    LONGLONG accumulated_ = 0;
};

PinClock* NewPinClock() {
    return new PinClock;
}

void DeletePinClock(PinClock* clock) {
    delete clock;
}

void SetClockRunning(PinClock* clock, bool running) {
    clock->SetRunning(running);
}

LONGLONG ClockStreamTime(PinClock* clock) {
    return clock->StreamTime();
}

ULONG ClockExtraReferences(PinClock* clock) {
    return clock->ExtraReferences();
}

IKsReferenceClock* ClockInterface(PinClock* clock) {
    return clock;
}

}  // namespace platform::ks::internal

namespace platform::ks::client {

LONGLONG PinClockTime(Pin* pin) {
    return pin->clock != nullptr ? internal::ClockStreamTime(pin->clock.get()) : 0;
}

}  // namespace platform::ks::client

NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN ks_pin, PIKSREFERENCECLOCK* interface_out) {
    platform::ks::client::Pin* pin = platform::ks::internal::PinOfObject(ks_pin);
    if (pin == nullptr || interface_out == nullptr) {
        platform::verifier::Violation("KsPinGetReferenceClockInterface: not a live pin");
        return STATUS_INVALID_PARAMETER;
    }
    if (pin->clock == nullptr) {
        *interface_out = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
    IKsReferenceClock* clock = platform::ks::internal::ClockInterface(pin->clock.get());
    clock->AddRef();
    *interface_out = clock;
    return STATUS_SUCCESS;
}
