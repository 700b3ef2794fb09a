// The installation: the bound function that starts it and its worker, which
// runs the three steps (render engine, server, plug-ins) and reports to the page.
#pragma once

#include "installation_context.h"

void installationThreadFunc(InstallationContext* ctx);
void startInstallation_cb(const char* seq, const char* req, void* arg);
