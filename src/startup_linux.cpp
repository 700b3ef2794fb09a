// What only Linux has: nothing, there is no application menu.
#include "startup.h"

namespace Startup {

void installApplicationMenu() {}

}  // namespace Startup
