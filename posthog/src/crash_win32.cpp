// Crash reports on Windows: no handler is installed and no side file is
// kept, so each call answers that there is nothing.
#include "posthog_internal.h"

namespace PostHog {

namespace CrashHandler {

namespace Internal {
void signalHandler(int) {}
}  // namespace Internal

bool install(const std::string&) { return false; }
std::optional<Report> loadPendingReport() { return std::nullopt; }
bool saveMetadata(const Metadata&) { return false; }
Metadata loadMetadata() { return Metadata(); }
bool saveLogFileConfig(const LogFileConfig&) { return false; }
LogFileConfig loadLogFileConfig() { return LogFileConfig(); }

}  // namespace CrashHandler

}  // namespace PostHog
