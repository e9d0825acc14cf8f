#pragma once

// Threads: user-interface thread; each call may block while the person chooses.

#include <QtCore/QString>

// How the file buttons ask the person for a path. The desktop gives the bridge
// its dialogs; a program without a screen gives none, and its pages are told why.
class FileDialogs {
public:
    virtual ~FileDialogs() = default;
    // The mapping file to load, or "" when the person cancelled.
    virtual QString pathToLoad() = 0;
    // Where to save the routing, or "" when the person cancelled.
    virtual QString pathToSaveAs() = 0;
};
