#pragma once

namespace talvora::platform {

// Ends the process at once with `status`, from whichever thread calls it. Skips static
// destructors and atexit handlers on purpose: the audio, queue and speech threads are
// still running and must not see the objects they use torn down under them. Everything
// that must reach the disk or the parent (the audio file, the event lines) has already
// been closed or written with unbuffered writes by then.
[[noreturn]] void exitProcess(int status);

}  // namespace talvora::platform
