// Completion routines registered with IoSetCompletionRoutineEx keep their driver's image mapped
// until they return.
#pragma once

namespace platform::io {

// Waits, bounded, until no such routine is running or still owed a call; a verifier violation
// when the wait runs out. The driver unload calls it before the image goes.
void AwaitUnloadSafeCompletions();

}  // namespace platform::io
