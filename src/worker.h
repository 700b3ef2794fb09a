// The shape the installation and the uninstall workers share, written once:
// the worker owns its context, asks for administrator rights, runs its steps
// with nothing escaping them, and gives the rights back. What differs (texts,
// steps, completion scripts) each worker passes in.
#pragma once

#include "bridge.h"
#include "installer_auth.h"

#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

template <typename Context>
struct WorkerSteps {
    const char* tag = "";          // the prefix of its log lines
    const char* startBanner = "";  // the block its log starts with
    // Before the rights are asked for; false ends the run (it posted its completion). Optional.
    std::function<bool(Context&)> prepare;
    // The rights were refused (the reason was logged): post the failure.
    std::function<void(Context&, const std::string& error)> refused;
    // The work; its result reaches complete.
    std::function<bool(Context&)> steps;
    // After the "Unexpected error" line of anything the steps threw. Optional.
    std::function<void(Context&)> unexpected;
    // Once the rights are given back, with the steps' result (false after an error). Optional.
    std::function<void(Context&, bool ok)> complete;
};

template <typename Context>
void runWorker(Context* context, const WorkerSteps<Context>& worker) {
    const std::unique_ptr<Context> ctx(context);
    logBlock(worker.startBanner);
    if (worker.prepare && !worker.prepare(*ctx)) return;
    std::string error;
    if (!acquireWorkerRights(worker.tag, error)) {
        worker.refused(*ctx, error);
        return;
    }

    // Every way out of the steps posts exactly one completion script.
    bool ok = false;
    try {
        ok = worker.steps(*ctx);
    } catch (const std::exception& e) {
        std::cerr << worker.tag << " Unexpected error: " << e.what() << std::endl;
        if (worker.unexpected) worker.unexpected(*ctx);
    } catch (...) {
        std::cerr << worker.tag << " Unexpected error" << std::endl;
        if (worker.unexpected) worker.unexpected(*ctx);
    }
    releaseWorkerRights();
    if (worker.complete) worker.complete(*ctx, ok);
}
