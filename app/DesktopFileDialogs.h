#pragma once

// Threads: user-interface thread; each dialog blocks until it is closed.

#include "ui/FileDialogs.h"

// The desktop's open and save dialogs for the mapping file.
class DesktopFileDialogs : public FileDialogs {
public:
    QString pathToLoad() override;
    QString pathToSaveAs() override;
};
