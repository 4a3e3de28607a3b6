#include "main_window/app_setup.h"

#include <QCoreApplication>

void AppSetup::beforeApplication()
{
    // The program writes no file. Qt would otherwise keep compiled shaders of
    // the web view under ~/.cache (or /.cache with no HOME).
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache);
}
