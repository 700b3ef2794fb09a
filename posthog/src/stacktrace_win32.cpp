// Stack traces on Windows: the debug-help library walks the stack and names
// the frames from the program's symbols.
#include "posthog_internal.h"

#include <windows.h>
#include <dbghelp.h>

#include <cstring>

namespace PostHog {

namespace Stacktrace {

std::vector<Frame> captureStructured(int maxFrames, int skip, const std::string& filter) {
    std::vector<Frame> frames;
    if (maxFrames < 1) return frames;
    HANDLE process = GetCurrentProcess();
    HANDLE thread = GetCurrentThread();
    if (!SymInitialize(process, nullptr, TRUE)) return frames;
    SymSetOptions(SYMOPT_UNDNAME | SYMOPT_LOAD_LINES);

    CONTEXT context;
    std::memset(&context, 0, sizeof(context));
    RtlCaptureContext(&context);
    STACKFRAME64 frame;
    std::memset(&frame, 0, sizeof(frame));
    frame.AddrPC.Offset = context.Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = context.Rbp;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = context.Rsp;
    frame.AddrStack.Mode = AddrModeFlat;

    alignas(SYMBOL_INFO) char symbolBuffer[sizeof(SYMBOL_INFO) + 2000];
    int index = 0;
    while (static_cast<int>(frames.size()) < maxFrames &&
           StackWalk64(IMAGE_FILE_MACHINE_AMD64, process, thread, &frame, &context, nullptr,
                       SymFunctionTableAccess64, SymGetModuleBase64, nullptr)) {
        if (index++ < skip) continue;
        Frame out;
        DWORD64 pc = frame.AddrPC.Offset;
        std::memset(symbolBuffer, 0, sizeof(symbolBuffer));
        SYMBOL_INFO* symbol = reinterpret_cast<SYMBOL_INFO*>(symbolBuffer);
        symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
        symbol->MaxNameLen = 2000;
        DWORD64 displacement = 0;
        if (SymFromAddr(process, pc, &displacement, symbol)) {
            out.function = symbol->Name;
            IMAGEHLP_LINE64 line;
            std::memset(&line, 0, sizeof(line));
            line.SizeOfStruct = sizeof(line);
            DWORD lineDisplacement = 0;
            if (SymGetLineFromAddr64(process, pc, &lineDisplacement, &line)) {
                if (line.FileName) out.filename = line.FileName;
                out.lineno = static_cast<int32_t>(line.LineNumber);
            }
        } else {
            out.function = "0x" + toHex(pc);
        }
        if (!filter.empty()) out.in_app = contains(out.filename, filter) || contains(out.function, filter);
        frames.push_back(out);
    }
    SymCleanup(process);
    return frames;
}

std::string capture(int, int) { return "(no stack trace available)"; }

}  // namespace Stacktrace

}  // namespace PostHog
