#include "app/DesktopFileDialogs.h"

#include <QtWidgets/QFileDialog>

QString DesktopFileDialogs::pathToLoad()
{
    return QFileDialog::getOpenFileName(
        nullptr, QObject::tr("Open File"), "/home", QObject::tr("Config file (*.ploverc)"));
}

QString DesktopFileDialogs::pathToSaveAs()
{
    return QFileDialog::getSaveFileName(
        nullptr, QObject::tr("Open File"), "/home", QObject::tr("Config file (*.ploverc)"));
}
