// Ctrl-C and SIGTERM ask a long-running command to stop rather than end the process where it
// stands: the command finishes what it has in hand, stops the pin and the device (which saves the
// settings) and exits with 128 plus the signal's number, as a shell reports a killed program.
#pragma once

namespace camctl {

// From here on the two signals only ask for the stop.
void CatchStopSignals();
bool StopRequested();
// The signal that asked, 0 when none did.
int StopSignal();
// The exit status that reports the stop.
int StoppedStatus();

}  // namespace camctl
