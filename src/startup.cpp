#include "startup.h"

#include "text_escape.h"

#include <cstring>

namespace Startup {

bool isDevMode(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--dev") == 0) return true;
    }
    return false;
}

std::string startScript(bool devMode, const std::string& executable) {
    return std::string("window.DEV_MODE = ") + (devMode ? "true" : "false") + "; window.INSTALLER_FILENAME = \"" +
           jsEscape(executable) + "\"; console.log('[MAIN] Set INSTALLER_FILENAME to:', window.INSTALLER_FILENAME);";
}

}  // namespace Startup
