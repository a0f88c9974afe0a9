#include "cli/process.h"

#include <unistd.h>

namespace talvora::cli {

void exitProcess(int status) { ::_exit(status); }

}  // namespace talvora::cli
