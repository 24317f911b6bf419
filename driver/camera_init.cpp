#include "driver/camera_init.h"

#include "camera/camera_commands.h"
#include "camera/capture_setup.h"
#include "camera/command_lock.h"
#include "control/settings_persistence.h"

bool InitializeCamera(CameraContext* camera) {
    CommandSequence sequence(camera);
    SendInitialize(camera);
    RunStartupSequence(camera);
    LoadSettings(camera);
    return true;
}
