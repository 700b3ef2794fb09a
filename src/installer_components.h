// The component installers: the render engine, the MRV Server and the
// plug-ins, each staged from its archive and moved into its system folder.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "installer_download.h"

// (current, total, text): the overall plug-in progress, and the plug-in-start
// notice (1-based plug-in number, plug-in count, plug-in id).
using PluginProgressFn = std::function<void(int current, int total, const std::string& text)>;

// urls: one archive URL, or the ordered part URLs of a multi-part archive.
// True when the render engine is installed or already up to date.
bool installRenderEngine(const std::vector<std::string>& urls, const std::string& latestVersion,
                         ProgressFn progress, StatusFn status, bool forceReinstall);

// Installs the server on every call. True when it was installed.
bool installMRVServer(const std::string& url, const std::string& version, ProgressFn progress, StatusFn status);

// True when every requested id that the manifest lists was installed; stops
// at the first failure.
bool installPlugins(const std::vector<std::string>& pluginIds, const std::string& manifestJson,
                    PluginProgressFn progress, StatusFn status, PluginProgressFn pluginStart);

// Installs the present components (non-empty URLs) of one plug-in.
bool installPlugin(const std::string& pluginId, const std::string& adobeUrl, const std::string& mrvUrl,
                   const std::string& additionalFilesUrl, ProgressFn progress, StatusFn status);

// A plug-in id or legacy name that may become part of a path and a shell
// command: non-empty, not "." or "..", ASCII only, no separator, quote, "$",
// backquote, control character or character special to the Windows command
// lines (' % ! ^ & | < > ;).
bool isSafeComponentName(const std::string& name);
