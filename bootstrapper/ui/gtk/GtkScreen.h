// What the GTK window layer tells the rest of the program about the screen.
#pragma once

// Main thread, after gtk_init_check: reads the primary monitor's scale factor once and installs
// ZORUtils' screen-resolution hook answering 72 dots per inch times that factor on both axes
// (a scale-2 monitor answers 144). Without a display the hook is cleared: no resolution.
void installGtkScreenResolutionHook();

// Both resolutions of ZORUtils::getScreenResolution are at least 144 dots per inch.
bool isHighDPIScreen();
