// The run's process-wide test seams; the environment's seams are in BootstrapSeams.h.
#pragma once

#include "bootstrapper/app/BootstrapSeams.h"

namespace bootstrap_seams::testing {

// Replaces sleepMicroseconds; an empty function restores the real sleep. Set only while no worker runs.
void setSleep(SleepFunction sleep);

// Replaces openLink's browser; an empty function restores it.
void setLinkOpener(LinkOpener opener);

// The install curve is process-wide; in-process runs start each curve afresh with this.
void resetInstallCurve();

}  // namespace bootstrap_seams::testing
