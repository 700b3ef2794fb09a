#include "installer_config.h"
#include "webview.h"

#include <iostream>

#ifdef ZRVK_TESTING
#define ZRVK_ENTRY installerMain
#else
#define ZRVK_ENTRY main
#endif

int ZRVK_ENTRY(int, char**) {
    webview_t w = webview_create(0, nullptr);
    if (!w) {
        std::cerr << "[ERROR] Failed to create webview" << std::endl;
        return 1;
    }
    webview_destroy(w);
    return 0;
}
