// The screen resolution the GTK layer reports: 72 dots per inch per unit of the monitor's scale.
#include "bootstrapper/ui/gtk/GtkScreen.h"

#include <gtk/gtk.h>

#include "bootstrapper/support/ZORUtils.h"

void installGtkScreenResolutionHook() {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = display != nullptr ? gdk_display_get_primary_monitor(display) : nullptr;
    if (monitor == nullptr && display != nullptr && gdk_display_get_n_monitors(display) > 0) {
        monitor = gdk_display_get_monitor(display, 0);
    }
    if (monitor == nullptr) {
        ZORUtils::setScreenResolutionHook({});
        return;
    }
    // Read here, on main: the hook may be asked from any thread and must not touch GTK.
    const double dotsPerInch = 72.0 * gdk_monitor_get_scale_factor(monitor);
    ZORUtils::setScreenResolutionHook([dotsPerInch](double& x, double& y) {
        x = dotsPerInch;
        y = dotsPerInch;
        return true;
    });
}

bool isHighDPIScreen() {
    int x = 0;
    int y = 0;
    return ZORUtils::getScreenResolution(x, y) && x >= 144 && y >= 144;
}
