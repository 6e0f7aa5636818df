#pragma once
// Text rules for the per-process fields discovery reads from a member's
// command-line options.
#include <string>
#include <vector>

namespace MongoDbKax::ServerProperties {

// Configuration file text with the value of every "...Password:" key (the
// PEM key password under its old and new names, the cluster password, and
// the like) replaced by "x" characters up to the end of its line, so that the
// text can be stored with the cluster configuration and shown.
std::string MaskKeyPasswords(const std::string& text);

// Backslashes become "/" and one trailing "/" is dropped (a Windows
// member's "C:\data\db\" becomes "C:/data/db").
std::string NormalizeDbPath(const std::string& path);

// "bindIp" with blanks and double quotes trimmed at both ends.
std::string TrimBindIp(const std::string& bindIp);

// The elements of a comma-separated bind list, trimmed, empty ones dropped.
std::vector<std::string> SplitBindList(const std::string& bindIp);

// Adds `address` to `list` unless it is a loopback name or already there;
// true when added.
bool AddBoundIp(std::vector<std::string>& list, const std::string& address);

}  // namespace MongoDbKax::ServerProperties
