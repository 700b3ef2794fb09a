// What only macOS has: the application menu and its way to the program file.
#include "startup.h"

#include <objc/message.h>
#include <objc/runtime.h>

#include <iostream>

namespace Startup {

// The application menu with its Quit item, so that Command-Q quits.
void installApplicationMenu() {
    using Send = id (*)(id, SEL);
    using SendObject = id (*)(id, SEL, id);
    using SendTitle = id (*)(id, SEL, id, SEL, id);
    auto send = reinterpret_cast<Send>(objc_msgSend);
    auto sendObject = reinterpret_cast<SendObject>(objc_msgSend);
    auto sendTitle = reinterpret_cast<SendTitle>(objc_msgSend);
    auto text = [&](const char* value) {
        using SendString = id (*)(id, SEL, const char*);
        return reinterpret_cast<SendString>(objc_msgSend)(reinterpret_cast<id>(objc_getClass("NSString")),
                                                          sel_registerName("stringWithUTF8String:"), value);
    };
    id app = send(reinterpret_cast<id>(objc_getClass("NSApplication")), sel_registerName("sharedApplication"));
    id menuBar = send(reinterpret_cast<id>(objc_getClass("NSMenu")), sel_registerName("new"));
    id barItem = send(reinterpret_cast<id>(objc_getClass("NSMenuItem")), sel_registerName("new"));
    sendObject(menuBar, sel_registerName("addItem:"), barItem);
    sendObject(app, sel_registerName("setMainMenu:"), menuBar);
    id appMenu = send(reinterpret_cast<id>(objc_getClass("NSMenu")), sel_registerName("new"));
    id quitItem = send(reinterpret_cast<id>(objc_getClass("NSMenuItem")), sel_registerName("alloc"));
    quitItem = sendTitle(quitItem, sel_registerName("initWithTitle:action:keyEquivalent:"), text("Quit Zorvik Installer"),
                         sel_registerName("terminate:"), text("q"));
    sendObject(appMenu, sel_registerName("addItem:"), quitItem);
    sendObject(barItem, sel_registerName("setSubmenu:"), appMenu);
    std::cout << "[MAIN] macOS application menu initialized (Cmd-Q enabled)" << std::endl;
}

}  // namespace Startup
