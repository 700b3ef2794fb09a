// What the component installers' shared code and their platform files
// share: the texts of a plug-in's three components, and how each platform
// moves a staged copy into place.
#pragma once

#include "installer_components.h"

#include <string>

namespace Placement {

void sendStatus(const StatusFn& status, const std::string& text);

// The three components of a plug-in, in installation order.
enum class Part { Adobe, Mrv, Additional };

struct PartText {
    const char* first;      // first log line
    const char* startTag;   // in "Installing <id> (<tag>)..."
    const char* stageName;  // staging folder name before the id
    const char* labelTag;   // in the download label "<id> (<tag>)"
    const char* destLog;    // destination log line
    const char* failDownload;
    const char* moving;
    const char* installed;
    const char* failMove;
    const char* failCopy;
    const char* errorTag;   // in "Error installing <id> (<tag>): "
};

const PartText& textOf(Part part);

// Moving a staged copy into place: one privileged chain on macOS (and Linux),
// plain copies on Windows, whose program runs elevated. Each logs its own outcome.
bool placeRenderEngine(const std::string& staged, const StatusFn& status);
bool placeMRVServer(const std::string& staged, const StatusFn& status);
bool placePluginPart(Part part, const std::string& id, const std::string& staged, const StatusFn& status);
// Where a part merges into what is installed (the additional files on macOS
// and Linux), its staging folder starts as a copy of the installed folder:
// the archive is merged there by extraction, which follows no link, and the
// part then replaces the installed folder whole. False when the copy failed.
bool stageInstalledFiles(Part part, const std::string& id, const std::string& staged);
// Removes the older plug-in file that a manifest entry names. False (only on
// Windows, where a file in use cannot go) ends the plug-in step; the POSIX
// removal's result is not looked at.
bool removeLegacyPlugin(const std::string& path, const StatusFn& status);

}  // namespace Placement
