#pragma once
// The standard folders of the user and the machine, mapped to their Linux and XDG
// equivalents:
//   UserAppData   $XDG_DATA_HOME, default ~/.local/share (the library lives below it)
//   CommonAppData the first folder of $XDG_DATA_DIRS, default /usr/local/share
//   UserConfig    $XDG_CONFIG_HOME, default ~/.config (the settings store)
//   Documents     XDG_DOCUMENTS_DIR of the user's user-dirs.dirs, default the home folder
//   Desktop       XDG_DESKTOP_DIR of the user's user-dirs.dirs, default ~/Desktop
//   ProgramFiles  /opt (one folder per installed product, like the Windows one)
// Environment values that are not absolute paths are ignored, as XDG asks.
//
// Threads: any thread; the environment is read at each call, so tests may point the
// folders at a temporary folder.
#include <string>

enum class KelFolder {
    UserAppData,
    CommonAppData,
    UserConfig,
    Documents,
    Desktop,
    ProgramFiles,
};

// The folder's path without a trailing slash. With `create`, a missing folder (and its
// parents) is made. False when the folder cannot be determined (no home folder) or,
// with `create`, cannot be made; `out` is then unchanged.
bool kel_folder_path(KelFolder which, std::string& out, bool create = false);

// The user's home folder: $HOME when absolute, else the password database's entry.
bool kel_home_folder(std::string& out);

// The file this code was loaded from: the plug-in's shared object inside a host, the
// executable in a tool. False when the system cannot tell.
bool kel_module_path(std::string& out);
