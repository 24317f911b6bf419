#include "driver/camera_init.h"

#include "camera/capture_setup.h"
#include "camera/command_lock.h"
#include "control/settings_persistence.h"
#include "usb/usb_transport.h"

bool InitializeCamera(CameraContext* camera) {
    CommandSequence sequence(camera);
    RtlZeroMemory(camera->command_buffer, sizeof(camera->command_buffer));
    camera->command_buffer[0] = 0x06;
    TransferPacket(camera, 0, kPacketSize, camera->command_buffer);
    RunStartupSequence(camera);
    LoadSettings(camera);
    return true;
}
