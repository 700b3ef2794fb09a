// Version, file and process utilities.
#pragma once

#include <string>

bool isNewerVersion(const std::string& a, const std::string& b);
std::string readVersionFile(const std::string& dir);
bool writeVersionFile(const std::string& dir, const std::string& version);
bool createDirectory(const std::string& path);
bool pathExists(const std::string& path);
#ifndef _WIN32
bool removeDirectory(const std::string& path);
#endif
std::string getTempDirectory();
int executeCommandSilent(const std::string& command);
bool deletePath(const std::string& path);
bool copyDirectory(const std::string& src, const std::string& dst);
bool killProcessByName(const std::string& name);
bool launchMRVServer();
bool isHostAppRunning();
