#pragma once

class QWidget;

// Gives a window the program's icon: for painting, and on X11 as the window
// manager reads it, each picture at the pixels it was drawn with.
void setProgramIcon(QWidget *window);
