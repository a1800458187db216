// The X window id behind a GTK toplevel, kept apart because the X headers define "None".
#pragma once

#include <gtk/gtk.h>

// 0 when the widget is null, not realised or not on an X11 display.
unsigned long x11WindowId(GtkWidget* window);

// Another X client may destroy our window at any moment; requests GTK sends for it before the
// news arrives fail, and an untrapped X error ends the process at once. With this trap held
// while the window lives, such a run ends through the shutdown order instead.
void trapX11Errors();
void untrapX11Errors();
