#pragma once

#include <string>
#include <string_view>

namespace support {

// Maps a path on drive C: to the user's home folder, which stands in for the drive root:
// "C:\quenZOR.csv" becomes "$HOME/quenZOR.csv". Backslashes become "/". The home folder is
// $HOME, else the passwd entry of the current user. A path without a drive letter keeps its
// text (with "/" for "\").
std::string MapDrivePath(std::string_view windowsPath);

// The folder for temporary files: "$HOME/Qv/Temp6/<program base name>/", the program name
// being the base name of /proc/self/exe.
std::string TempFolder();

}  // namespace support
