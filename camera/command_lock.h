// Command sequences on one camera run one at a time. Each operation that talks to the camera
// through command_buffer holds the camera's command lock for its whole sequence, so callers on any
// thread need no lock of their own. The lock is a kernel mutex: an operation may call others that
// take it again.
#pragma once

#include "driver/camera_context.h"

inline VOID InitializeCommandLock(CameraContext* camera) {
    KeInitializeMutex(&camera->command_lock, 0);
}

// Holds the command lock from construction to the end of the scope.
class CommandSequence {
  public:
    explicit CommandSequence(CameraContext* camera) : camera_(camera) {
        KeWaitForSingleObject(&camera_->command_lock, Executive, KernelMode, FALSE, nullptr);
    }
    ~CommandSequence() { KeReleaseMutex(&camera_->command_lock, FALSE); }
    CommandSequence(const CommandSequence&) = delete;
    CommandSequence& operator=(const CommandSequence&) = delete;

  private:
    CameraContext* camera_;
};
