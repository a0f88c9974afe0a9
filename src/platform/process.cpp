#include "platform/process.h"

#include <unistd.h>

namespace talvora::platform {

void exitProcess(int status) { ::_exit(status); }

}  // namespace talvora::platform
